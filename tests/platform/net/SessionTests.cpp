#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <random>
#include <thread>
#include <variant>

#include "platform/net/Session.h"
#include "tests/platform/io/Support.h"
#include "tests/support/Environment.h"
#include "tests/support/HttpsServer.h"
#include "tests/support/TemporaryDirectory.h"

namespace {

using platform::Bytes;
using platform::net::DownloadOutcome;
using platform::net::Response;
using platform::net::Session;
using platform::net::URLErrc;
using platform::net::URLError;
using testsupport::ScopedEnvironmentVariable;
using Clock = std::chrono::steady_clock;
using iotest::text;

constexpr std::size_t noLimit = std::size_t{1} << 30;

// What a finished transfer delivered, whichever way its body went.
struct Outcome {
    std::optional<std::string> body;
    std::optional<Response> response;
    std::optional<URLError> error;
    std::exception_ptr sinkError;
    std::thread::id thread;
};

enum class Mode { keptWhole, streamed };
constexpr Mode bothModes[] = {Mode::keptWhole, Mode::streamed};

// Runs one transfer to its end: its body kept whole (fetch, with limit) or
// streamed (download, through sink into a string that is the body only when
// the transfer succeeded).
Outcome transfer(Session& session, Mode mode, const std::string& address,
                 std::size_t limit = noLimit, platform::net::BodySink sink = {},
                 platform::net::Progress progress = {}) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    auto future = promise->get_future();
    if (mode == Mode::keptWhole) {
        session.fetch(
            address, limit,
            [promise](std::optional<Bytes> body, std::optional<Response> response,
                      std::optional<URLError> error) {
                promise->set_value(Outcome{body ? std::optional(text(*body)) : std::nullopt,
                                           std::move(response), std::move(error), nullptr,
                                           std::this_thread::get_id()});
            },
            std::move(progress));
    } else {
        auto received = std::make_shared<std::string>();
        session.download(
            address,
            [received, sink](std::span<const std::byte> piece) {
                if (sink) {
                    sink(piece);
                }
                *received += text(piece);
            },
            [promise, received](DownloadOutcome outcome) {
                promise->set_value(
                    Outcome{outcome.response ? std::optional(*received) : std::nullopt,
                            std::move(outcome.response), std::move(outcome.error),
                            outcome.sinkError, std::this_thread::get_id()});
            },
            std::move(progress));
    }
    // The wait is a guard against a hang, not a measurement.
    if (future.wait_for(std::chrono::minutes(2)) != std::future_status::ready) {
        ADD_FAILURE() << "no completion";
        return Outcome{};
    }
    return future.get();
}

// A TCP port on 127.0.0.1 held by this process: bound, and listening only
// when asked. Without listen() a connection is refused; with it the kernel
// accepts connections that nobody ever answers.
class HeldPort {
  public:
    explicit HeldPort(bool listening) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            (listening && listen(fd_, 8) != 0) ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot hold a port");
        }
        url = "https://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/file.zip";
    }
    ~HeldPort() { close(fd_); }
    std::string url;

  private:
    int fd_;
};

std::ptrdiff_t threads() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {});
}

// One HTTPS server and one plain-HTTP server for the whole program, both
// serving root, a second authority that trusts neither, and the HTTPS server's
// twin on an address its certificate does not name.
struct Servers {
    Servers() {
        testsupport::makeTestCertificates(certificates.path());
        testsupport::makeTestCertificates(otherAuthority.path());
        std::ofstream(root.path() / "hello.txt") << "Hello, world!\n";
        std::ofstream(root.path() / "empty.txt");
        https.emplace(root.path(), certificates.path());
        plain.emplace(root.path(), certificates.path(),
                      testsupport::HttpsServer::Scheme::plainHTTP);
        misnamed.emplace(root.path(), certificates.path(), testsupport::HttpsServer::Scheme::https,
                         "127.0.0.2");
    }
    testsupport::TemporaryDirectory certificates{"net-certificates"};
    testsupport::TemporaryDirectory otherAuthority{"net-other-ca"};
    testsupport::TemporaryDirectory root{"net-root"};
    std::optional<testsupport::HttpsServer> https;
    std::optional<testsupport::HttpsServer> plain;
    std::optional<testsupport::HttpsServer> misnamed;
};

Servers& servers() {
    static Servers shared;
    return shared;
}

std::string url(const std::string& path) {
    return servers().https->url(path);
}

// Writes size pseudo-random bytes into the served directory.
std::string makeFile(const std::string& name, std::size_t size) {
    std::string data(size, '\0');
    std::mt19937 random(12345);
    for (char& c : data) {
        c = static_cast<char>(random());
    }
    std::ofstream(servers().root.path() / name, std::ios::binary) << data;
    return data;
}

// An environment variable a case sets (or, with no value, removes).
struct Setting {
    const char* name;
    std::optional<std::string> value;
};
const char* const idle = "CORVANTIS_TEST_HTTP_IDLE_TIMEOUT_MS";
const char* const lowSpeed = "CORVANTIS_TEST_HTTP_LOW_SPEED_WINDOW_S";

class SessionTest : public ::testing::Test {
  protected:
    ScopedEnvironmentVariable trust_{"SSL_CERT_FILE",
                                     (servers().certificates.path() / "ca.pem").string()};
    ScopedEnvironmentVariable idle_{idle, std::nullopt};
    ScopedEnvironmentVariable lowSpeed_{lowSpeed, std::nullopt};
};

TEST_F(SessionTest, AnyHTTPStatusIsASuccessWithTheFinalAnswersBody) {
    struct Case {
        std::string address;
        int status;
        std::string body;
        std::string finalAddress = "";  // empty: the address itself
        std::optional<Setting> setting = std::nullopt;
    };
    const std::string hello = "Hello, world!\n";
    const Case cases[] = {
        {url("/hello.txt"), 200, hello},
        {servers().https->localhostURL("/hello.txt"), 200, hello},  // verified by name
        {url("/empty.txt"), 200, ""},
        {url("/missing.txt"), 404, "not found\n"},
        {url("/_chunked/hello.txt"), 200, hello},
        // Only the last answer's body arrives, never a redirect's own.
        {url("/_redirect?to=/_redirect%3Fto%3D/hello.txt"), 200, hello, url("/hello.txt")},
        // Forty pieces 50 ms apart: twice the idle limit in all, each gap a
        // twentieth of it. Only a limit on the whole transfer would fail.
        {url("/_slow/steady.bin?pieces=40&pause=0.05"), 200, makeFile("steady.bin", 40 * 1024), "",
         Setting{idle, "1000"}},
        // About 300 bytes a second for four seconds, twice the low-speed
        // window: slow, but above the limit all along.
        {url("/_slow/slow-line.bin?pieces=16&pause=0.25"), 200, makeFile("slow-line.bin", 1200), "",
         Setting{lowSpeed, "2"}},
    };
    Session session;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        std::optional<ScopedEnvironmentVariable> setting;
        if (c.setting) {
            setting.emplace(c.setting->name, c.setting->value);
        }
        for (Mode mode : bothModes) {
            const Outcome outcome = transfer(session, mode, c.address);
            ASSERT_FALSE(outcome.error) << outcome.error->what();
            ASSERT_TRUE(outcome.body && outcome.response);
            EXPECT_EQ(outcome.response->statusCode, c.status);
            EXPECT_TRUE(*outcome.body == c.body);
            EXPECT_EQ(outcome.response->url, c.finalAddress.empty() ? c.address : c.finalAddress);
        }
    }
}

TEST_F(SessionTest, RequestsCarryNoCookiesAndAskForNoEncoding) {
    // The redirect sets a cookie; an ephemeral session must not send it on.
    Session session;
    const Outcome outcome =
        transfer(session, Mode::keptWhole, url("/_redirect?to=/_headers&cookie=session%3Dsecret"));
    ASSERT_FALSE(outcome.error) << outcome.error->what();
    const std::string& headers = *outcome.body;
    EXPECT_EQ(headers.rfind("GET /_headers\n", 0), 0u) << headers;
    for (const char* absent : {"secret", "Cookie", "Accept-Encoding", "Authorization"}) {
        EXPECT_EQ(headers.find(absent), std::string::npos) << headers;
    }
}

TEST_F(SessionTest, FailuresEndWithReadableErrorsAndNoBody) {
    makeFile("large.bin", 1 << 20);
    makeFile("drip.bin", 100);
    const HeldPort closed(false);
    const HeldPort neverAnswering(true);
    struct Case {
        std::string address;
        URLErrc kind;
        std::string description;
        std::optional<Setting> setting = std::nullopt;
        std::size_t limit = noLimit;  // a limit is for bodies kept whole only
    };
    const auto untrustedAt = [](const std::string& host) {
        return "The certificate for this server is invalid. You might be connecting to a server "
               "that is pretending to be \u201c" +
               host + "\u201d.";
    };
    const std::string untrusted = untrustedAt("127.0.0.1");
    const std::string insecure =
        "A plain-HTTP (non-HTTPS) address was refused: downloads must use HTTPS.";
    const std::string plain = servers().plain->url("/hello.txt");
    const Case cases[] = {
        {url("/hello.txt"), URLErrc::serverCertificateUntrusted, untrusted,
         Setting{"SSL_CERT_FILE", (servers().otherAuthority.path() / "ca.pem").string()}},
        {url("/hello.txt"), URLErrc::serverCertificateUntrusted, untrusted,
         Setting{"SSL_CERT_FILE", std::nullopt}},  // the system's trust store
        // A trusted certificate, but for other names than the one asked for.
        {servers().misnamed->url("/hello.txt"), URLErrc::serverCertificateUntrusted,
         untrustedAt("127.0.0.2")},
        // Nothing but HTTPS is fetched, not even the first request.
        {plain, URLErrc::insecureAddressRefused, insecure},
        {url("/_redirect?to=" + plain), URLErrc::insecureAddressRefused, insecure},
        {closed.url, URLErrc::cannotConnectToHost, "Could not connect to the server."},
        {"https://no-such-host.invalid/file.zip", URLErrc::cannotFindHost,
         "A server with the specified hostname could not be found."},
        {url("/_cut/hello.txt"), URLErrc::networkConnectionLost,
         "The network connection was lost."},
        {url("/_redirect"), URLErrc::tooManyRedirects, "too many HTTP redirects"},
        {"not an address", URLErrc::badURL, "bad URL"},
        // Silent after the request, or already in the handshake.
        {url("/_hang"), URLErrc::timedOut, "The request timed out.", Setting{idle, "300"}},
        {neverAnswering.url, URLErrc::timedOut, "The request timed out.", Setting{idle, "300"}},
        // Two bytes every half second: never silent, but far too slow.
        {url("/_slow/drip.bin?pieces=50&pause=0.5"), URLErrc::transferTooSlow,
         "The server sent data too slowly: under 100 bytes a second for 2 seconds.",
         Setting{lowSpeed, "2"}},
        // Too large by its announced length, or by what arrives without one.
        {url("/hello.txt"), URLErrc::bodyTooLarge,
         "The response is too large: it exceeds the limit of 13 bytes.", std::nullopt, 13},
        {url("/_chunked/large.bin"), URLErrc::bodyTooLarge,
         "The response is too large: it exceeds the limit of 100000 bytes.", std::nullopt, 100'000},
    };
    Session session;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        std::optional<ScopedEnvironmentVariable> setting;
        if (c.setting) {
            setting.emplace(c.setting->name, c.setting->value);
        }
        for (Mode mode : bothModes) {
            if (mode == Mode::streamed && c.limit != noLimit) {
                continue;
            }
            const Outcome outcome = transfer(session, mode, c.address, c.limit);
            ASSERT_TRUE(outcome.error);
            EXPECT_EQ(outcome.error->code(), c.kind);
            EXPECT_EQ(std::string(outcome.error->what()), c.description);
            EXPECT_FALSE(outcome.body);
            EXPECT_FALSE(outcome.response);
        }
    }
    EXPECT_EQ(servers().plain->connectionsAccepted(), 0);
}

// Lets the process grow by at most room bytes of address space from now on.
void limitAddressSpace(std::size_t room) {
    std::size_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max =
        pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) + room;
    setrlimit(RLIMIT_AS, &limit);
}

// Keeps the body of address in memory, with no maximum, in 128 MiB.
bool fetchEndsOutOfMemory(const std::string& address) {
    limitAddressSpace(std::size_t{128} << 20);
    Session session;
    Outcome outcome =
        transfer(session, Mode::keptWhole, address, std::numeric_limits<std::size_t>::max());
    return outcome.error && outcome.error->code() == URLErrc::outOfMemory && !outcome.body;
}

// Streams the body of address to a sink that only counts, in 64 MiB.
bool downloadCompletesInLittleMemory(const std::string& address, std::size_t size) {
    limitAddressSpace(std::size_t{64} << 20);
    Session session;
    std::promise<bool> completed;
    std::size_t received = 0;
    session.download(
        address, [&](std::span<const std::byte> piece) { received += piece.size(); },
        [&](DownloadOutcome outcome) { completed.set_value(outcome.response.has_value()); });
    return completed.get_future().get() && received == size;
}

TEST_F(SessionTest, MemoryRunsOutForAHugeBodyKeptWholeButNotForOneStreamed) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers reserve far more address space than the limits allow";
#endif
    // Blanks with no length announced: a gibibyte kept whole, 192 MiB
    // streamed, both far beyond the limits.
    const std::string gibibyte = url("/_blanks/1073741824");
    EXPECT_EXIT(_exit(fetchEndsOutOfMemory(gibibyte) ? 0 : 1), testing::ExitedWithCode(0), "");
    const std::size_t size = std::size_t{192} << 20;
    const std::string streamed = url("/_blanks/" + std::to_string(size));
    EXPECT_EXIT(_exit(downloadCompletesInLittleMemory(streamed, size) ? 0 : 1),
                testing::ExitedWithCode(0), "");
}

TEST_F(SessionTest, ProgressIsRateLimitedAndEndsAtOneOnce) {
    makeFile("progress.bin", 24 << 20);
    struct Case {
        std::string path;
        bool lengthAnnounced;
    };
    const Case cases[] = {
        {"/progress.bin", true},
        {"/_chunked/progress.bin", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::mutex mutex;
        std::vector<double> posted;
        std::thread::id poster;
        Session session;
        auto start = Clock::now();
        Outcome outcome =
            transfer(session, Mode::keptWhole, url(c.path), noLimit, {}, [&](double fraction) {
                std::lock_guard lock(mutex);
                posted.push_back(fraction);
                poster = std::this_thread::get_id();
            });
        auto elapsed = Clock::now() - start;
        ASSERT_FALSE(outcome.error) << outcome.error->what();
        EXPECT_EQ(outcome.body->size(), std::size_t{24} << 20);

        std::lock_guard lock(mutex);
        ASSERT_FALSE(posted.empty());
        EXPECT_EQ(posted.back(), 1.0);
        EXPECT_EQ(std::count(posted.begin(), posted.end(), 1.0), 1);
        EXPECT_TRUE(std::is_sorted(posted.begin(), posted.end()));
        if (!c.lengthAnnounced) {
            EXPECT_EQ(posted.size(), 1u);
        }
        // At most one a frame, besides the closing 1.0.
        EXPECT_LE(posted.size(),
                  2 + static_cast<std::size_t>(elapsed / std::chrono::milliseconds(16)));
        // Told on the transfer thread: neither the caller's nor the completions'.
        EXPECT_NE(poster, std::this_thread::get_id());
        EXPECT_NE(poster, outcome.thread);
    }
}

TEST_F(SessionTest, ProgressShowsEveryFractionReachedBeforeTheServerPauses) {
    // Four pieces with a second's pause after 25, 50 and 75%; each piece
    // arrives in many reads, most of them too close together to be shown.
    constexpr std::size_t size = 4 << 20;
    makeFile("pauses.bin", size);
    std::mutex mutex;
    // Pieces received (bytes so far) and fractions shown, in their order.
    std::vector<std::variant<std::size_t, double>> events;
    std::size_t received = 0;
    Session session;
    Outcome outcome = transfer(
        session, Mode::streamed, url("/_slow/pauses.bin?pieces=4&pause=1"), noLimit,
        [&](std::span<const std::byte> piece) {
            std::lock_guard lock(mutex);
            received += piece.size();
            events.emplace_back(received);
        },
        [&](double fraction) {
            std::lock_guard lock(mutex);
            events.emplace_back(fraction);
        });
    ASSERT_FALSE(outcome.error) << outcome.error->what();

    std::lock_guard lock(mutex);
    for (double pause : {0.25, 0.5, 0.75}) {
        SCOPED_TRACE(pause);
        auto reached = static_cast<std::size_t>(pause * size);
        // The first piece after the pause, and what was last shown before it.
        auto after = std::find_if(events.begin(), events.end(), [&](const auto& e) {
            return std::holds_alternative<std::size_t>(e) && std::get<std::size_t>(e) > reached;
        });
        std::optional<double> lastShown;
        std::optional<std::size_t> lastReceived;
        for (auto it = events.begin(); it != after; ++it) {
            if (auto* fraction = std::get_if<double>(&*it)) {
                lastShown = *fraction;
            } else {
                lastReceived = std::get<std::size_t>(*it);
            }
        }
        EXPECT_EQ(lastReceived, reached);
        EXPECT_EQ(lastShown, pause);
    }
}

TEST_F(SessionTest, ASinkThatRefusesEndsTheTransferWithItsOwnError) {
    makeFile("refused.bin", 8 << 20);
    int pieces = 0;
    Session session;
    Outcome outcome = transfer(
        session, Mode::streamed, url("/refused.bin"), noLimit, [&](std::span<const std::byte>) {
            ++pieces;
            throw std::system_error(std::make_error_code(std::errc::no_space_on_device),
                                    "write to .refused.bin");
        });
    EXPECT_EQ(pieces, 1);
    EXPECT_FALSE(outcome.error);
    EXPECT_FALSE(outcome.response);
    ASSERT_TRUE(outcome.sinkError);
    try {
        std::rethrow_exception(outcome.sinkError);
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::no_space_on_device);
    }
}

TEST_F(SessionTest, CompletionsRunOneAfterAnotherOnTheSessionsOwnThread) {
    // The second transfer is started from the first one's completion, as a
    // download follows its manifest.
    Session session;
    std::promise<std::thread::id> second;
    std::thread::id first;
    session.fetch(url("/hello.txt"), noLimit,
                  [&](std::optional<Bytes>, std::optional<Response>, std::optional<URLError>) {
                      first = std::this_thread::get_id();
                      session.download(
                          url("/hello.txt"), [](std::span<const std::byte>) {},
                          [&](DownloadOutcome) { second.set_value(std::this_thread::get_id()); });
                  });
    auto future = second.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::minutes(2)), std::future_status::ready);
    std::thread::id secondThread = future.get();
    EXPECT_EQ(secondThread, first);
    EXPECT_NE(secondThread, std::this_thread::get_id());
}

TEST_F(SessionTest, DestroyingASessionEndsItsTransfersAndJoinsItsThreads) {
    makeFile("long.bin", 100 * 1024);
    {
        // The runtime may start a helper thread of its own with the first
        // thread (a sanitizer does); only the session's own count here.
        Session first;
    }
    const auto threadsBefore = threads();
    bool completed = false;
    {
        Session session;
        std::promise<void> underWay;
        std::once_flag once;
        session.download(
            url("/_slow/long.bin?pieces=100&pause=1"),
            [&](std::span<const std::byte>) {
                std::call_once(once, [&] { underWay.set_value(); });
            },
            [&](DownloadOutcome) { completed = true; });
        ASSERT_EQ(underWay.get_future().wait_for(std::chrono::minutes(2)),
                  std::future_status::ready);
    }
    EXPECT_FALSE(completed);
    EXPECT_EQ(threads(), threadsBefore);
}

}  // namespace
