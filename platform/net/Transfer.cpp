#include "platform/net/Transfer.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "platform/net/Address.h"

namespace platform::net {
namespace {

// Larger announced lengths still arrive; the buffer just grows as it goes.
constexpr std::uint64_t maximumReservation = std::uint64_t{1} << 30;

// Made while memory is plenty; copying it needs none.
const URLError outOfMemoryError(URLErrc::outOfMemory);

URLErrc kindOf(CURLcode code) {
    switch (code) {
        case CURLE_UNSUPPORTED_PROTOCOL:  // a redirect to another scheme
            return URLErrc::insecureAddressRefused;
        case CURLE_URL_MALFORMAT:
            return URLErrc::badURL;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return URLErrc::cannotFindHost;
        case CURLE_COULDNT_CONNECT:
            return URLErrc::cannotConnectToHost;
        case CURLE_OPERATION_TIMEDOUT:
            return URLErrc::timedOut;
        case CURLE_PARTIAL_FILE:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return URLErrc::networkConnectionLost;
        case CURLE_TOO_MANY_REDIRECTS:
            return URLErrc::tooManyRedirects;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING:
        case CURLE_HTTP_RETURNED_ERROR:
            return URLErrc::badServerResponse;
        case CURLE_FILESIZE_EXCEEDED:
            return URLErrc::bodyTooLarge;
        case CURLE_OUT_OF_MEMORY:
            return URLErrc::outOfMemory;
        case CURLE_PEER_FAILED_VERIFICATION:
            return URLErrc::serverCertificateUntrusted;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CLIENTCERT:
        case CURLE_USE_SSL_FAILED:
            return URLErrc::secureConnectionFailed;
        default:
            return URLErrc::unknown;
    }
}

std::string effectiveAddress(CURL* handle, const std::string& fallback) {
    const char* effective = nullptr;
    curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &effective);
    return effective != nullptr ? std::string(effective) : fallback;
}

}  // namespace

Transfer::Transfer(std::string address, Destination destination, Progress progress)
    : address_(std::move(address)),
      destination_(std::move(destination)),
      progress_(std::move(progress)) {}

Transfer::~Transfer() {
    releaseHandle();
}

void Transfer::releaseHandle() noexcept {
    if (handle_ != nullptr) {
        curl_easy_cleanup(handle_);
        handle_ = nullptr;
    }
}

bool Transfer::prepare(const TransferSettings& settings) {
    try {
        address_ = checkedAddress(address_);
    } catch (const URLError& refused) {
        error_ = refused;
        return false;
    }
    handle_ = curl_easy_init();
    if (handle_ == nullptr) {
        error_ = outOfMemoryError;
        return false;
    }
    idleTimeout_ = settings.idleTimeout;
    lowSpeedLimit_ = settings.lowSpeedLimit;
    lowSpeedWindow_ = settings.lowSpeedWindow;
    lastActivity_ = Clock::now();

    CURL* h = handle_;
    curl_easy_setopt(h, CURLOPT_PRIVATE, this);
    curl_easy_setopt(h, CURLOPT_URL, address_.c_str());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, settings.maximumRedirects);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (settings.trustStoreFile) {
        curl_easy_setopt(h, CURLOPT_CAINFO, settings.trustStoreFile->c_str());
        curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
    }
    // Name lookup, connection and handshake are bounded by the idle limit;
    // afterwards tick() watches for silence.
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings.idleTimeout.count()));
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, settings.lowSpeedLimit);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(settings.lowSpeedWindow.count()));
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, detail_);
    return true;
}

// Each response of a redirect chain starts with its status line; only the
// last one's body counts.
size_t Transfer::onHeader(char* data, size_t size, size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    size_t length = size * count;
    t.lastActivity_ = Clock::now();
    if (length >= 5 && std::memcmp(data, "HTTP/", 5) == 0) {
        if (auto* memory = std::get_if<InMemory>(&t.destination_)) {
            memory->body.clear();
        }
        t.received_ = 0;
        t.expected_.reset();
        t.bodyStarted_ = false;
    }
    return length;
}

size_t Transfer::onBody(char* data, size_t size, size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    t.lastActivity_ = Clock::now();
    size_t length = size * count;
    if (t.receive(reinterpret_cast<const std::byte*>(data), length) != length) {
        return CURL_WRITEFUNC_ERROR;
    }
    if (t.expected_ && *t.expected_ > 0) {
        double fraction =
            std::min(1.0, static_cast<double>(t.received_) / static_cast<double>(*t.expected_));
        if (fraction < 1.0) {
            t.show(t.throttle_.change(fraction, Clock::now()));
        }
    }
    // Time spent in the progress handler or the sink (which may wait for a
    // busy window or disk) is not silence from the server.
    t.lastActivity_ = Clock::now();
    return length;
}

void Transfer::startBody() {
    bodyStarted_ = true;
    curl_off_t length = -1;
    if (curl_easy_getinfo(handle_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK ||
        length < 0) {
        return;
    }
    expected_ = static_cast<std::uint64_t>(length);
    if (auto* memory = std::get_if<InMemory>(&destination_)) {
        if (*expected_ > memory->maximumBodySize) {
            return;  // refused by receive() before anything is kept
        }
        try {
            memory->body.reserve(
                static_cast<std::size_t>(std::min(*expected_, maximumReservation)));
        } catch (const std::exception&) {
            // Growing as the body arrives still works, or fails there.
        }
    }
}

template <typename MakeError>
void Transfer::fail(MakeError makeError) {
    if (error_) {
        return;
    }
    try {
        error_ = makeError();
    } catch (const std::bad_alloc&) {
        error_ = outOfMemoryError;
    }
}

size_t Transfer::receive(const std::byte* data, size_t length) {
    if (!bodyStarted_) {
        startBody();
    }
    if (auto* memory = std::get_if<InMemory>(&destination_)) {
        std::uint64_t limit = memory->maximumBodySize;
        if ((expected_ && *expected_ > limit) || received_ + length > limit) {
            fail([limit] {
                return URLError(URLErrc::bodyTooLarge,
                                "The response is too large: it exceeds the limit of " +
                                    std::to_string(limit) + " bytes.");
            });
            return 0;
        }
        try {
            memory->body.insert(memory->body.end(), data, data + length);
        } catch (const std::bad_alloc&) {
            error_ = outOfMemoryError;
            return 0;
        }
    } else {
        try {
            std::get<Streamed>(destination_).sink(std::span(data, length));
        } catch (...) {
            sinkError_ = std::current_exception();
            return 0;
        }
    }
    received_ += length;
    return length;
}

void Transfer::show(std::optional<double> fraction) {
    if (fraction && progress_) {
        progress_(*fraction);
    }
}

URLError Transfer::errorFor(CURLcode code) const {
    URLErrc kind = kindOf(code);
    if (code == CURLE_OPERATION_TIMEDOUT && std::strncmp(detail_, "Operation too slow", 18) == 0) {
        return URLError(URLErrc::transferTooSlow,
                        "The server sent data too slowly: under " + std::to_string(lowSpeedLimit_) +
                            " bytes a second for " + std::to_string(lowSpeedWindow_.count()) +
                            " seconds.");
    }
    if (kind == URLErrc::serverCertificateUntrusted) {
        return URLError(kind,
                        "The certificate for this server is invalid. You might be connecting to a "
                        "server that is pretending to be \u201c" +
                            hostOf(effectiveAddress(handle_, address_)) + "\u201d.");
    }
    if (kind == URLErrc::unknown) {
        return URLError(kind, std::string("An unknown error occurred. (") +
                                  (*detail_ != '\0' ? detail_ : curl_easy_strerror(code)) + ")");
    }
    return URLError(kind);
}

void Transfer::ended(CURLcode code) {
    if (code != CURLE_OK) {
        if (!sinkError_) {
            fail([&] { return errorFor(code); });
        }
        return;
    }
    long status = 0;
    curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &status);
    try {
        response_ = Response{effectiveAddress(handle_, address_), static_cast<int>(status)};
    } catch (const std::bad_alloc&) {
        error_ = outOfMemoryError;
        return;
    }
    if (progress_) {
        progress_(1.0);
    }
}

bool Transfer::tick(Clock::time_point now) {
    if (now - lastActivity_ >= idleTimeout_) {
        fail([] { return URLError(URLErrc::timedOut); });
        return true;
    }
    show(throttle_.due(now));
    return false;
}

Transfer::Clock::time_point Transfer::nextDeadline() const {
    Clock::time_point idle = lastActivity_ + idleTimeout_;
    std::optional<Clock::time_point> progress = throttle_.deadline();
    return progress ? std::min(idle, *progress) : idle;
}

void Transfer::complete() {
    if (auto* memory = std::get_if<InMemory>(&destination_)) {
        std::optional<Bytes> body;
        if (response_) {
            body = std::move(memory->body);
        }
        memory->completion(std::move(body), std::move(response_), std::move(error_));
    } else {
        auto& streamed = std::get<Streamed>(destination_);
        streamed.completion(
            DownloadOutcome{std::move(response_), std::move(error_), std::move(sinkError_)});
    }
}

}  // namespace platform::net
