#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <mutex>
#include <random>
#include <thread>
#include <variant>

#include "platform/net/Session.h"
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

constexpr std::size_t noLimit = std::size_t{1} << 30;

// What a finished transfer delivered, whichever way its body went.
struct Outcome {
    std::optional<std::string> body;
    std::optional<Response> response;
    std::optional<URLError> error;
    std::exception_ptr sinkError;
    std::thread::id thread;
};

std::string text(std::span<const std::byte> bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// The wait is a guard against a hang, not a measurement.
Outcome waitFor(std::future<Outcome> future) {
    if (future.wait_for(std::chrono::minutes(2)) != std::future_status::ready) {
        ADD_FAILURE() << "no completion";
        return Outcome{};
    }
    return future.get();
}

Outcome fetch(Session& session, const std::string& address, std::size_t limit = noLimit,
              platform::net::Progress progress = {}) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    auto future = promise->get_future();
    session.fetch(
        address, limit,
        [promise](std::optional<Bytes> body, std::optional<Response> response,
                  std::optional<URLError> error) {
            std::optional<std::string> kept;
            if (body) {
                kept = text(*body);
            }
            promise->set_value(Outcome{std::move(kept), std::move(response), std::move(error),
                                       nullptr, std::this_thread::get_id()});
        },
        std::move(progress));
    return waitFor(std::move(future));
}

Outcome fetch(const std::string& address, std::size_t limit = noLimit) {
    Session session;
    return fetch(session, address, limit);
}

// Streams into a string; the body is set only when the transfer succeeded.
Outcome download(Session& session, const std::string& address, platform::net::BodySink sink = {},
                 platform::net::Progress progress = {}) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    auto future = promise->get_future();
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
            std::optional<std::string> body;
            if (outcome.response) {
                body = *received;
            }
            promise->set_value(Outcome{std::move(body), std::move(outcome.response),
                                       std::move(outcome.error), outcome.sinkError,
                                       std::this_thread::get_id()});
        },
        std::move(progress));
    return waitFor(std::move(future));
}

std::size_t threadsOfThisProcess() {
    std::size_t count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(tasks)) {
            count += entry->d_name[0] != '.';
        }
        closedir(tasks);
    }
    return count;
}

// A TCP port on 127.0.0.1 held by this process: bound, and listening only
// when asked. Without listen() a connection is refused; with it the kernel
// accepts connections that nobody ever answers.
class HeldPort {
  public:
    explicit HeldPort(bool listening) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            (listening && listen(fd_, 8) != 0) ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot hold a port");
        }
        port_ = ntohs(address.sin_port);
    }
    ~HeldPort() { close(fd_); }
    std::string url(const std::string& path) const {
        return "https://127.0.0.1:" + std::to_string(port_) + path;
    }

  private:
    int fd_ = -1;
    int port_ = 0;
};

class SessionTest : public ::testing::Test {
  protected:
    struct Shared {
        testsupport::TemporaryDirectory certificates{"net-certificates"};
        testsupport::TemporaryDirectory otherAuthority{"net-other-ca"};
        testsupport::TemporaryDirectory root{"net-root"};
        std::unique_ptr<testsupport::HttpsServer> server;
        std::unique_ptr<testsupport::HttpsServer> plainServer;
    };

    static void SetUpTestSuite() {
        shared_ = new Shared;
        testsupport::makeTestCertificates(shared_->certificates.path());
        testsupport::makeTestCertificates(shared_->otherAuthority.path());
        std::ofstream(shared_->root.path() / "hello.txt") << "Hello, world!\n";
        std::ofstream(shared_->root.path() / "empty.txt");
        shared_->server = std::make_unique<testsupport::HttpsServer>(shared_->root.path(),
                                                                     shared_->certificates.path());
        shared_->plainServer = std::make_unique<testsupport::HttpsServer>(
            shared_->root.path(), shared_->certificates.path(),
            testsupport::HttpsServer::Scheme::plainHTTP);
    }
    static void TearDownTestSuite() {
        // SIGTERM is the servers' clean way out.
        EXPECT_EQ(shared_->server->stop(), 0);
        EXPECT_EQ(shared_->plainServer->stop(), 0);
        delete shared_;
        shared_ = nullptr;
    }

    static std::string ourAuthority() { return (shared_->certificates.path() / "ca.pem").string(); }
    static std::string otherAuthority() {
        return (shared_->otherAuthority.path() / "ca.pem").string();
    }
    static const testsupport::HttpsServer& server() { return *shared_->server; }
    static const testsupport::HttpsServer& plainServer() { return *shared_->plainServer; }

    // Writes size pseudo-random bytes into the served directory.
    static std::string makeFile(const std::string& name, std::size_t size) {
        std::string data(size, '\0');
        std::mt19937 random(12345);
        for (char& c : data) {
            c = static_cast<char>(random());
        }
        std::ofstream(shared_->root.path() / name, std::ios::binary) << data;
        return data;
    }

    ScopedEnvironmentVariable trust_{"SSL_CERT_FILE", ourAuthority()};
    ScopedEnvironmentVariable idle_{"CORVANTIS_TEST_HTTP_IDLE_TIMEOUT_MS", std::nullopt};
    ScopedEnvironmentVariable lowSpeed_{"CORVANTIS_TEST_HTTP_LOW_SPEED_WINDOW_S", std::nullopt};

  private:
    static Shared* shared_;
};

SessionTest::Shared* SessionTest::shared_ = nullptr;

TEST_F(SessionTest, AnyHTTPStatusIsASuccessWithItsBodyInMemoryOrStreamed) {
    struct Case {
        std::string address;
        int status;
        std::string body;
    };
    const Case cases[] = {
        {server().url("/hello.txt"), 200, "Hello, world!\n"},
        {server().localhostURL("/hello.txt"), 200, "Hello, world!\n"},  // verified by name
        {server().url("/empty.txt"), 200, ""},
        {server().url("/missing.txt"), 404, "not found\n"},
        {server().url("/_status/500"), 500, "status 500\n"},
        {server().url("/_status/204"), 204, ""},
        {server().url("/_chunked/hello.txt"), 200, "Hello, world!\n"},
    };
    Session session;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        for (const Outcome& outcome : {fetch(session, c.address), download(session, c.address)}) {
            EXPECT_FALSE(outcome.error) << outcome.error->what();
            ASSERT_TRUE(outcome.body);
            ASSERT_TRUE(outcome.response);
            EXPECT_EQ(outcome.response->statusCode, c.status);
            EXPECT_EQ(*outcome.body, c.body);
            EXPECT_EQ(outcome.response->url, c.address);
        }
    }
}

TEST_F(SessionTest, RedirectsAreFollowedAndTheFinalAddressReported) {
    struct Case {
        std::string path;
        std::string finalPath;
        std::string body;
    };
    const Case cases[] = {
        {"/_redirect?to=/hello.txt", "/hello.txt", "Hello, world!\n"},
        {"/_redirect?to=/_redirect%3Fto%3D/hello.txt", "/hello.txt", "Hello, world!\n"},
        {"/_redirect?to=/missing.txt", "/missing.txt", "not found\n"},
    };
    Session session;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        // Only the last answer's body arrives, never the redirect's own.
        for (const Outcome& outcome :
             {fetch(session, server().url(c.path)), download(session, server().url(c.path))}) {
            ASSERT_FALSE(outcome.error) << outcome.error->what();
            EXPECT_EQ(outcome.response->url, server().url(c.finalPath));
            EXPECT_EQ(outcome.body, c.body);
        }
    }
}

TEST_F(SessionTest, RequestsCarryNoCookiesAndAskForNoEncoding) {
    // The redirect sets a cookie; an ephemeral session must not send it on.
    Outcome outcome = fetch(server().url("/_redirect?to=/_headers&cookie=session%3Dsecret"));
    ASSERT_FALSE(outcome.error) << outcome.error->what();
    const std::string& headers = *outcome.body;
    EXPECT_EQ(headers.rfind("GET /_headers\n", 0), 0u) << headers;
    for (const char* absent : {"secret", "Cookie", "Accept-Encoding", "Authorization"}) {
        EXPECT_EQ(headers.find(absent), std::string::npos) << headers;
    }
}

TEST_F(SessionTest, UntrustedCertificatesAreRefused) {
    const std::optional<std::string> stores[] = {otherAuthority(), std::nullopt};
    for (const auto& store : stores) {
        SCOPED_TRACE(store.value_or("system trust store"));
        ScopedEnvironmentVariable trust("SSL_CERT_FILE", store);
        Outcome outcome = fetch(server().url("/hello.txt"));
        ASSERT_TRUE(outcome.error);
        EXPECT_EQ(outcome.error->code(), URLErrc::serverCertificateUntrusted);
        EXPECT_NE(std::string(outcome.error->what()).find("\u201c127.0.0.1\u201d"),
                  std::string::npos)
            << outcome.error->what();
        EXPECT_FALSE(outcome.body);
    }
}

TEST_F(SessionTest, NothingButHTTPSIsFetchedNotEvenTheFirstRequest) {
    const std::string plain = plainServer().url("/hello.txt");
    const std::string addresses[] = {
        plain,
        server().url("/_redirect?to=" + plain),
        server().url("/_redirect?to=/_redirect%3Fto%3D" + plain),
        "ftp://127.0.0.1:" + std::to_string(plainServer().port()) + "/hello.txt",
        "file:///etc/hostname",
    };
    Session session;
    for (const std::string& address : addresses) {
        SCOPED_TRACE(address);
        for (const Outcome& outcome : {fetch(session, address), download(session, address)}) {
            ASSERT_TRUE(outcome.error);
            EXPECT_EQ(outcome.error->code(), URLErrc::insecureAddressRefused);
            EXPECT_EQ(std::string(outcome.error->what()),
                      "A plain-HTTP (non-HTTPS) address was refused: downloads must use HTTPS.");
            EXPECT_FALSE(outcome.body);
            EXPECT_FALSE(outcome.response);
        }
    }
    EXPECT_EQ(plainServer().connectionsAccepted(), 0);
}

TEST_F(SessionTest, FailuresEndWithReadableErrors) {
    makeFile("drip.bin", 100);
    makeFile("large.bin", 1 << 20);
    HeldPort closed(false);
    HeldPort neverAnswering(true);
    struct Case {
        std::string address;
        URLErrc kind;
        std::string description;
        std::size_t limit;
        std::optional<std::string> idleMilliseconds;
        std::optional<std::string> lowSpeedSeconds;
    };
    const std::optional<std::string> none;
    const Case cases[] = {
        {closed.url("/file.zip"), URLErrc::cannotConnectToHost, "Could not connect to the server.",
         noLimit, none, none},
        {"https://no-such-host.invalid/file.zip", URLErrc::cannotFindHost,
         "A server with the specified hostname could not be found.", noLimit, none, none},
        {server().url("/_cut/hello.txt"), URLErrc::networkConnectionLost,
         "The network connection was lost.", noLimit, none, none},
        {server().url("/_redirect"), URLErrc::tooManyRedirects, "too many HTTP redirects", noLimit,
         none, none},
        {"not an address", URLErrc::badURL, "bad URL", noLimit, none, none},
        // handshake.
        {server().url("/_hang"), URLErrc::timedOut, "The request timed out.", noLimit, "300", none},
        {neverAnswering.url("/file.zip"), URLErrc::timedOut, "The request timed out.", noLimit,
         "300", none},
        // Two bytes every half second: never silent, but far too slow.
        {server().url("/_slow/drip.bin?pieces=50&pause=0.5"), URLErrc::transferTooSlow,
         "The server sent data too slowly: under 100 bytes a second for 2 seconds.", noLimit, none,
         "2"},
        // Too large by its announced length, or by what arrives without one.
        {server().url("/hello.txt"), URLErrc::bodyTooLarge,
         "The response is too large: it exceeds the limit of 13 bytes.", 13, none, none},
        {server().url("/_chunked/large.bin"), URLErrc::bodyTooLarge,
         "The response is too large: it exceeds the limit of 100000 bytes.", 100'000, none, none},
    };
    Session session;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        ScopedEnvironmentVariable idle("CORVANTIS_TEST_HTTP_IDLE_TIMEOUT_MS", c.idleMilliseconds);
        ScopedEnvironmentVariable lowSpeed("CORVANTIS_TEST_HTTP_LOW_SPEED_WINDOW_S",
                                           c.lowSpeedSeconds);
        std::vector<Outcome> outcomes{fetch(session, c.address, c.limit)};
        if (c.limit == noLimit) {
            outcomes.push_back(download(session, c.address));
        }
        for (const Outcome& outcome : outcomes) {
            ASSERT_TRUE(outcome.error);
            EXPECT_EQ(outcome.error->code(), c.kind);
            EXPECT_EQ(std::string(outcome.error->what()), c.description);
            EXPECT_FALSE(outcome.body);
            EXPECT_FALSE(outcome.response);
        }
    }
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
    Outcome outcome = fetch(session, address, std::numeric_limits<std::size_t>::max());
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
    const std::string gibibyte = server().url("/_blanks/1073741824");
    EXPECT_EXIT(_exit(fetchEndsOutOfMemory(gibibyte) ? 0 : 1), testing::ExitedWithCode(0), "");
    const std::size_t size = std::size_t{192} << 20;
    const std::string streamed = server().url("/_blanks/" + std::to_string(size));
    EXPECT_EXIT(_exit(downloadCompletesInLittleMemory(streamed, size) ? 0 : 1),
                testing::ExitedWithCode(0), "");
}

TEST_F(SessionTest, SlowButSteadyTransfersSucceed) {
    struct Case {
        std::string file;
        std::size_t size;
        std::string query;
        std::optional<std::string> idleMilliseconds;
        std::optional<std::string> lowSpeedSeconds;
    };
    const Case cases[] = {
        // Forty pieces 50 ms apart: twice the idle limit in all, each gap a
        // twentieth of it. Only a limit on the whole transfer would fail.
        {"steady.bin", 40 * 1024, "pieces=40&pause=0.05", "1000", std::nullopt},
        // About 300 bytes a second for four seconds, twice the low-speed
        // window: slow, but above the limit all along.
        {"slow-line.bin", 1200, "pieces=16&pause=0.25", std::nullopt, "2"},
    };
    Session session;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        ScopedEnvironmentVariable idle("CORVANTIS_TEST_HTTP_IDLE_TIMEOUT_MS", c.idleMilliseconds);
        ScopedEnvironmentVariable lowSpeed("CORVANTIS_TEST_HTTP_LOW_SPEED_WINDOW_S",
                                           c.lowSpeedSeconds);
        const std::string data = makeFile(c.file, c.size);
        Outcome outcome = fetch(session, server().url("/_slow/" + c.file + "?" + c.query));
        ASSERT_FALSE(outcome.error) << outcome.error->what();
        EXPECT_TRUE(outcome.body == data);
    }
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
        Outcome outcome = fetch(session, server().url(c.path), noLimit, [&](double fraction) {
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
    Outcome outcome = download(
        session, server().url("/_slow/pauses.bin?pieces=4&pause=1"),
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
    Outcome outcome =
        download(session, server().url("/refused.bin"), [&](std::span<const std::byte>) {
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
    session.fetch(server().url("/hello.txt"), noLimit,
                  [&](std::optional<Bytes>, std::optional<Response>, std::optional<URLError>) {
                      first = std::this_thread::get_id();
                      session.download(
                          server().url("/hello.txt"), [](std::span<const std::byte>) {},
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
    const std::size_t threadsBefore = threadsOfThisProcess();
    bool completed = false;
    {
        Session session;
        std::promise<void> underWay;
        std::once_flag once;
        session.download(
            server().url("/_slow/long.bin?pieces=100&pause=1"),
            [&](std::span<const std::byte>) {
                std::call_once(once, [&] { underWay.set_value(); });
            },
            [&](DownloadOutcome) { completed = true; });
        ASSERT_EQ(underWay.get_future().wait_for(std::chrono::minutes(2)),
                  std::future_status::ready);
    }
    EXPECT_FALSE(completed);
    EXPECT_EQ(threadsOfThisProcess(), threadsBefore);
}

}  // namespace
