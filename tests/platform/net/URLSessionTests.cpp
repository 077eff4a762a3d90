#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <mutex>
#include <random>
#include <thread>

#include "platform/net/URLSession.h"
#include "tests/support/Environment.h"
#include "tests/support/HttpsServer.h"
#include "tests/support/TemporaryDirectory.h"

namespace {

using platform::Bytes;
using platform::DataTask;
using platform::HTTPResponse;
using platform::URL;
using platform::URLError;
using platform::URLErrorCode;
using platform::URLSession;
using testsupport::ScopedEnvironmentVariable;

struct Outcome {
    std::optional<Bytes> body;
    std::optional<HTTPResponse> response;
    std::optional<URLError> error;
    std::thread::id thread;
    std::shared_ptr<DataTask> task;
};

std::string text(const Bytes& bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

URL url(const std::string& text) {
    std::optional<URL> parsed = URL::parse(text);
    EXPECT_TRUE(parsed) << text;
    return parsed.value_or(*URL::parse("https://invalid.invalid/"));
}

// Starts a task and waits for its completion. The wait is a guard against a
// hang, not a measurement.
Outcome fetch(const std::shared_ptr<URLSession>& session, const std::string& address,
              const std::function<void(DataTask&)>& prepare = {}) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    std::future<Outcome> future = promise->get_future();
    auto task = session->dataTask(
        url(address), [promise](std::optional<Bytes> body, std::optional<HTTPResponse> response,
                                std::optional<URLError> error) {
            promise->set_value(Outcome{std::move(body), std::move(response), std::move(error),
                                       std::this_thread::get_id(), nullptr});
        });
    if (prepare) {
        prepare(*task);
    }
    task->resume();
    if (future.wait_for(std::chrono::minutes(2)) != std::future_status::ready) {
        ADD_FAILURE() << "no completion for " << address;
        return Outcome{};
    }
    Outcome outcome = future.get();
    outcome.task = task;
    return outcome;
}

Outcome fetch(const std::string& address) {
    return fetch(URLSession::ephemeral(), address);
}

void expectFailure(const Outcome& outcome, URLErrorCode code, const std::string& description) {
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->errorCode(), code);
    EXPECT_EQ(outcome.error->code(), static_cast<int>(code));
    EXPECT_EQ(outcome.error->localizedDescription(), description);
    EXPECT_FALSE(outcome.body);
    EXPECT_FALSE(outcome.response);
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

class URLSessionTest : public ::testing::Test {
  protected:
    struct Shared {
        testsupport::TemporaryDirectory certificates{"net-certificates"};
        testsupport::TemporaryDirectory otherAuthority{"net-other-ca"};
        testsupport::TemporaryDirectory root{"net-root"};
        std::unique_ptr<testsupport::HttpsServer> server;
    };

    static void SetUpTestSuite() {
        shared_ = new Shared;
        testsupport::makeTestCertificates(shared_->certificates.path());
        testsupport::makeTestCertificates(shared_->otherAuthority.path());
        std::ofstream(shared_->root.path() / "hello.txt") << "Hello, world!\n";
        std::ofstream(shared_->root.path() / "empty.txt");
        shared_->server = std::make_unique<testsupport::HttpsServer>(shared_->root.path(),
                                                                     shared_->certificates.path());
    }
    static void TearDownTestSuite() {
        // SIGTERM is the server's clean way out.
        EXPECT_EQ(shared_->server->stop(), 0);
        delete shared_;
        shared_ = nullptr;
    }

    static std::string ourAuthority() { return (shared_->certificates.path() / "ca.pem").string(); }
    static std::string otherAuthority() {
        return (shared_->otherAuthority.path() / "ca.pem").string();
    }
    static const testsupport::HttpsServer& server() { return *shared_->server; }

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

  private:
    static Shared* shared_;
};

URLSessionTest::Shared* URLSessionTest::shared_ = nullptr;

TEST_F(URLSessionTest, AnyHTTPStatusIsASuccessWithItsBody) {
    struct Case {
        std::string path;
        int status;
        std::string body;
    };
    const Case cases[] = {
        {"/hello.txt", 200, "Hello, world!\n"},
        {"/empty.txt", 200, ""},
        {"/missing.txt", 404, "not found\n"},
        {"/_status/500", 500, "status 500\n"},
        {"/_status/204", 204, ""},
        {"/_chunked/hello.txt", 200, "Hello, world!\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        Outcome outcome = fetch(server().url(c.path));
        EXPECT_FALSE(outcome.error) << outcome.error->localizedDescription();
        ASSERT_TRUE(outcome.body);
        ASSERT_TRUE(outcome.response);
        EXPECT_EQ(outcome.response->statusCode, c.status);
        EXPECT_EQ(text(*outcome.body), c.body);
        EXPECT_EQ(outcome.response->url.absoluteString(), server().url(c.path));
    }
}

TEST_F(URLSessionTest, RedirectsAreFollowedAndTheFinalURLReported) {
    struct Case {
        std::string path;
        std::string finalPath;
    };
    const Case cases[] = {
        {"/_redirect?to=/hello.txt", "/hello.txt"},
        {"/_redirect?to=/_redirect%3Fto%3D/hello.txt", "/hello.txt"},
        {"/_redirect?to=/missing.txt", "/missing.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        Outcome outcome = fetch(server().url(c.path));
        ASSERT_FALSE(outcome.error) << outcome.error->localizedDescription();
        ASSERT_TRUE(outcome.response);
        EXPECT_EQ(outcome.response->url.absoluteString(), server().url(c.finalPath));
        // Only the last answer's body arrives, never the redirect's own.
        EXPECT_EQ(text(*outcome.body),
                  c.finalPath == "/hello.txt" ? "Hello, world!\n" : "not found\n");
    }
}

TEST_F(URLSessionTest, TheServerNameIsVerifiedByNameAsWellAsByAddress) {
    Outcome outcome = fetch(server().localhostURL("/hello.txt"));
    ASSERT_FALSE(outcome.error) << outcome.error->localizedDescription();
    EXPECT_EQ(text(*outcome.body), "Hello, world!\n");
}

TEST_F(URLSessionTest, RequestsCarryNoCookiesAndAskForNoEncoding) {
    // The redirect sets a cookie; an ephemeral session must not send it on.
    Outcome outcome = fetch(server().url("/_redirect?to=/_headers&cookie=session%3Dsecret"));
    ASSERT_FALSE(outcome.error) << outcome.error->localizedDescription();
    std::string headers = text(*outcome.body);
    EXPECT_EQ(headers.rfind("GET /_headers\n", 0), 0u) << headers;
    EXPECT_EQ(headers.find("secret"), std::string::npos) << headers;
    EXPECT_EQ(headers.find("Cookie"), std::string::npos) << headers;
    EXPECT_EQ(headers.find("Accept-Encoding"), std::string::npos) << headers;
    EXPECT_EQ(headers.find("Authorization"), std::string::npos) << headers;
}

TEST_F(URLSessionTest, UntrustedCertificatesAreRefused) {
    const std::optional<std::string> stores[] = {otherAuthority(), std::nullopt};
    for (const auto& store : stores) {
        SCOPED_TRACE(store.value_or("system trust store"));
        ScopedEnvironmentVariable trust("SSL_CERT_FILE", store);
        Outcome outcome = fetch(server().url("/hello.txt"));
        ASSERT_TRUE(outcome.error);
        EXPECT_EQ(outcome.error->errorCode(), URLErrorCode::serverCertificateUntrusted);
        EXPECT_NE(outcome.error->localizedDescription().find("\u201c127.0.0.1\u201d"),
                  std::string::npos)
            << outcome.error->localizedDescription();
        EXPECT_FALSE(outcome.body);
    }
}

TEST_F(URLSessionTest, SilentServersTimeOut) {
    ScopedEnvironmentVariable idle("CORVANTIS_TEST_HTTP_IDLE_TIMEOUT_MS", "300");
    HeldPort neverAccepting(true);
    const std::string addresses[] = {
        server().url("/_hang"),          // answers the handshake, never the request
        neverAccepting.url("/file.zip")  // never even finishes the handshake
    };
    for (const std::string& address : addresses) {
        SCOPED_TRACE(address);
        expectFailure(fetch(address), URLErrorCode::timedOut, "The request timed out.");
    }
}

TEST_F(URLSessionTest, ASlowButSteadyBodyIsNotSilence) {
    // Forty pieces 50 ms apart: twice the idle limit in all, each gap a
    // twentieth of it. Only a limit on the whole transfer would fail here.
    ScopedEnvironmentVariable idle("CORVANTIS_TEST_HTTP_IDLE_TIMEOUT_MS", "1000");
    const std::string data = makeFile("steady.bin", 40 * 1024);
    Outcome outcome = fetch(server().url("/_slow/steady.bin?pieces=40&pause=0.05"));
    ASSERT_FALSE(outcome.error) << outcome.error->localizedDescription();
    EXPECT_TRUE(text(*outcome.body) == data);
}

TEST_F(URLSessionTest, FailuresHaveReadableDescriptions) {
    HeldPort closed(false);
    struct Case {
        std::string address;
        URLErrorCode code;
        std::string description;
    };
    const Case cases[] = {
        {closed.url("/file.zip"), URLErrorCode::cannotConnectToHost,
         "Could not connect to the server."},
        {"https://no-such-host.invalid/file.zip", URLErrorCode::cannotFindHost,
         "A server with the specified hostname could not be found."},
        {server().url("/_cut/hello.txt"), URLErrorCode::networkConnectionLost,
         "The network connection was lost."},
        {server().url("/_redirect"), URLErrorCode::httpTooManyRedirects, "too many HTTP redirects"},
        {"ftp://127.0.0.1/file.zip", URLErrorCode::unsupportedURL, "unsupported URL"},
        {"file:///etc/hostname", URLErrorCode::unsupportedURL, "unsupported URL"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        expectFailure(fetch(c.address), c.code, c.description);
    }
}

TEST_F(URLSessionTest, ProgressIsRateLimitedAndEndsAtOne) {
    // Far more network reads than the thousand visible steps allowed.
    const std::string data = makeFile("large.bin", 24 << 20);
    std::mutex mutex;
    std::vector<double> posted;
    std::vector<std::thread::id> posters;
    Outcome outcome = fetch(URLSession::ephemeral(), server().url("/large.bin"), [&](DataTask& t) {
        EXPECT_EQ(t.fractionCompleted(), 0.0);
        t.observeProgress([&](double fraction) {
            std::lock_guard lock(mutex);
            posted.push_back(fraction);
            posters.push_back(std::this_thread::get_id());
        });
    });
    ASSERT_FALSE(outcome.error) << outcome.error->localizedDescription();
    ASSERT_EQ(outcome.body->size(), data.size());
    EXPECT_TRUE(text(*outcome.body) == data);
    EXPECT_EQ(outcome.task->fractionCompleted(), 1.0);

    std::lock_guard lock(mutex);
    ASSERT_FALSE(posted.empty());
    EXPECT_EQ(posted.back(), 1.0);
    EXPECT_LE(posted.size(), 1001u);
    // Every step moves visibly, except that the closing 1.0 comes whatever
    // the last step before it was.
    for (std::size_t i = 1; i + 1 < posted.size(); ++i) {
        EXPECT_GE(posted[i] - posted[i - 1], 0.001) << "step " << i;
    }
    if (posted.size() >= 2) {
        EXPECT_LT(posted[posted.size() - 2], 1.0);
    }
    EXPECT_EQ(std::count(posted.begin(), posted.end(), 1.0), 1);
    for (std::thread::id poster : posters) {
        EXPECT_NE(poster, std::this_thread::get_id());
    }
}

TEST_F(URLSessionTest, ProgressWithoutAnAnnouncedLengthJumpsToOneAtTheEnd) {
    makeFile("chunked.bin", 1 << 20);
    std::mutex mutex;
    std::vector<double> posted;
    Outcome outcome =
        fetch(URLSession::ephemeral(), server().url("/_chunked/chunked.bin"), [&](DataTask& t) {
            t.observeProgress([&](double fraction) {
                std::lock_guard lock(mutex);
                posted.push_back(fraction);
            });
        });
    ASSERT_FALSE(outcome.error) << outcome.error->localizedDescription();
    EXPECT_EQ(outcome.body->size(), 1u << 20);
    EXPECT_EQ(outcome.task->fractionCompleted(), 1.0);
    std::lock_guard lock(mutex);
    EXPECT_EQ(posted, std::vector<double>{1.0});
}

TEST_F(URLSessionTest, CompletionsRunOnTheSessionsOwnSerialThread) {
    auto session = URLSession::ephemeral();
    Outcome first = fetch(session, server().url("/hello.txt"));
    Outcome second = fetch(session, server().url("/_status/404"));
    Outcome failed = fetch(session, "ftp://127.0.0.1/x");
    EXPECT_NE(first.thread, std::this_thread::get_id());
    EXPECT_EQ(first.thread, second.thread);
    EXPECT_EQ(first.thread, failed.thread);
    EXPECT_NE(fetch(server().url("/hello.txt")).thread, first.thread);
}

TEST_F(URLSessionTest, AStartedTaskRunsToTheEndWithoutOwnersAndCompletesOnce) {
    std::mutex mutex;
    int completions = 0;
    std::promise<void> done;
    {
        auto session = URLSession::ephemeral();
        auto task = session->dataTask(url(server().url("/hello.txt")), [&](auto body, auto, auto) {
            std::lock_guard lock(mutex);
            ++completions;
            if (completions == 1) {
                EXPECT_TRUE(body);
                EXPECT_EQ(body ? text(*body) : "", "Hello, world!\n");
                done.set_value();
            }
        });
        task->resume();
        task->resume();
    }
    done.get_future().wait();
    // Another transfer end to end gives a second completion time to show up.
    fetch(server().url("/hello.txt"));
    std::lock_guard lock(mutex);
    EXPECT_EQ(completions, 1);
}

}  // namespace
