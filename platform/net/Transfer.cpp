#include "platform/net/Transfer.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>

namespace platform::net {
namespace {

using Clock = std::chrono::steady_clock;

// Larger announced lengths still arrive; the buffer just grows as it goes.
constexpr std::uint64_t maximumReservation = std::uint64_t{1} << 30;

void initializeOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Transfer {
    explicit Transfer(const BodyProgress& progress) : progress(progress) {}

    const BodyProgress& progress;
    CURL* handle = nullptr;
    Bytes body;
    std::optional<std::uint64_t> expected;
    bool bodyStarted = false;
    Clock::time_point lastActivity = Clock::now();
    Clock::duration idleTimeout{};
    bool idleExpired = false;
    bool outOfMemory = false;
    std::exception_ptr handlerFailure;
};

// Each response of a redirect chain starts with its status line; only the
// last one's body is kept.
size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    size_t length = size * count;
    t.lastActivity = Clock::now();
    if (length >= 5 && std::memcmp(data, "HTTP/", 5) == 0) {
        t.body.clear();
        t.expected.reset();
        t.bodyStarted = false;
    }
    return length;
}

void startBody(Transfer& t) {
    t.bodyStarted = true;
    curl_off_t length = -1;
    if (curl_easy_getinfo(t.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
        length >= 0) {
        t.expected = static_cast<std::uint64_t>(length);
        try {
            t.body.reserve(static_cast<std::size_t>(std::min(*t.expected, maximumReservation)));
        } catch (const std::exception&) {
            // Growing as the body arrives still works.
        }
    }
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    size_t length = size * count;
    t.lastActivity = Clock::now();
    if (!t.bodyStarted) {
        startBody(t);
    }
    try {
        auto* bytes = reinterpret_cast<const std::byte*>(data);
        t.body.insert(t.body.end(), bytes, bytes + length);
    } catch (const std::bad_alloc&) {
        t.outOfMemory = true;
        return 0;
    }
    try {
        t.progress(t.body.size(), t.expected);
    } catch (...) {
        t.handlerFailure = std::current_exception();
        return 0;
    }
    // Time spent in the observer (which may wait for a busy main thread) is
    // not silence from the server.
    t.lastActivity = Clock::now();
    return length;
}

int onTick(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto& t = *static_cast<Transfer*>(user);
    if (Clock::now() - t.lastActivity >= t.idleTimeout) {
        t.idleExpired = true;
        return 1;
    }
    return 0;
}

URLErrorCode kindOf(CURLcode code, const Transfer& t) {
    if (t.idleExpired) {
        return URLErrorCode::timedOut;
    }
    if (t.outOfMemory) {
        return URLErrorCode::dataLengthExceedsMaximum;
    }
    switch (code) {
        case CURLE_UNSUPPORTED_PROTOCOL:
            return URLErrorCode::unsupportedURL;
        case CURLE_URL_MALFORMAT:
            return URLErrorCode::badURL;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return URLErrorCode::cannotFindHost;
        case CURLE_COULDNT_CONNECT:
            return URLErrorCode::cannotConnectToHost;
        case CURLE_OPERATION_TIMEDOUT:
            return URLErrorCode::timedOut;
        case CURLE_PARTIAL_FILE:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return URLErrorCode::networkConnectionLost;
        case CURLE_TOO_MANY_REDIRECTS:
            return URLErrorCode::httpTooManyRedirects;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING:
        case CURLE_HTTP_RETURNED_ERROR:
            return URLErrorCode::badServerResponse;
        case CURLE_FILESIZE_EXCEEDED:
        case CURLE_OUT_OF_MEMORY:
            return URLErrorCode::dataLengthExceedsMaximum;
        case CURLE_PEER_FAILED_VERIFICATION:
            return URLErrorCode::serverCertificateUntrusted;
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
            return URLErrorCode::secureConnectionFailed;
        default:
            return URLErrorCode::unknown;
    }
}

URLError errorFor(CURLcode code, const Transfer& t, const TransferRequest& request,
                  const char* detail) {
    URLErrorCode kind = kindOf(code, t);
    if (kind != URLErrorCode::unknown) {
        return URLError(kind, request.url.host());
    }
    std::string text = "An unknown error occurred. (";
    text += *detail != '\0' ? detail : curl_easy_strerror(code);
    text += ")";
    return URLError(text, static_cast<int>(URLErrorCode::unknown));
}

HTTPResponse responseOf(CURL* handle, const TransferRequest& request) {
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    long redirects = 0;
    curl_easy_getinfo(handle, CURLINFO_REDIRECT_COUNT, &redirects);
    const char* effective = nullptr;
    curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &effective);
    std::optional<URL> finalURL;
    if (redirects > 0 && effective != nullptr) {
        finalURL = URL::parse(effective);
    }
    return HTTPResponse{finalURL.value_or(request.url), static_cast<int>(status)};
}

struct HandleDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

}  // namespace

std::variant<TransferResult, URLError> performGET(const TransferRequest& request,
                                                  const BodyProgress& progress) {
    initializeOnce();
    std::unique_ptr<CURL, HandleDeleter> handle(curl_easy_init());
    if (!handle) {
        return URLError(URLErrorCode::unknown);
    }
    Transfer t(progress);
    t.handle = handle.get();
    t.idleTimeout = request.idleTimeout;
    char detail[CURL_ERROR_SIZE] = {};

    CURL* h = handle.get();
    curl_easy_setopt(h, CURLOPT_URL, request.url.absoluteString().c_str());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, request.maximumRedirects);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (request.trustStoreFile) {
        curl_easy_setopt(h, CURLOPT_CAINFO, request.trustStoreFile->c_str());
        curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
    }
    // Name lookup, connection and handshake are bounded by the same idle
    // limit; afterwards the tick callback watches for silence.
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.idleTimeout.count()));
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, onTick);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, detail);

    CURLcode code = curl_easy_perform(h);
    if (t.handlerFailure) {
        std::rethrow_exception(t.handlerFailure);
    }
    if (code != CURLE_OK) {
        return errorFor(code, t, request, detail);
    }
    return TransferResult{std::move(t.body), responseOf(h, request)};
}

}  // namespace platform::net
