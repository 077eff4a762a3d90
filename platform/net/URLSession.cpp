#include "platform/net/URLSession.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/net/ProgressThrottle.h"
#include "platform/net/SerialQueue.h"
#include "platform/net/Transfer.h"

namespace platform {
namespace {

constexpr std::chrono::milliseconds standardIdleTimeout{60'000};

std::optional<std::string> trustStoreFromEnvironment() {
    const char* file = std::getenv("SSL_CERT_FILE");
    if (file == nullptr || *file == '\0') {
        return std::nullopt;
    }
    return std::string(file);
}

std::chrono::milliseconds idleTimeoutFromEnvironment() {
    const char* text = std::getenv("CORVANTIS_TEST_HTTP_IDLE_TIMEOUT_MS");
    if (text == nullptr) {
        return standardIdleTimeout;
    }
    long long ms = 0;
    const char* end = text + std::strlen(text);
    auto [stop, problem] = std::from_chars(text, end, ms);
    if (problem != std::errc() || stop != end || ms <= 0) {
        return standardIdleTimeout;
    }
    return std::chrono::milliseconds(ms);
}

bool isNetworkURL(const URL& url) {
    std::string scheme = url.scheme();
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return scheme == "http" || scheme == "https";
}

// Everything a task shares with its transfer thread.
struct TaskState {
    TaskState(URL url, DataTask::Completion completion, std::shared_ptr<net::SerialQueue> queue)
        : url(std::move(url)), completion(std::move(completion)), callbackQueue(std::move(queue)) {}

    const URL url;
    DataTask::Completion completion;
    const std::shared_ptr<net::SerialQueue> callbackQueue;
    std::atomic<bool> resumed{false};
    std::atomic<double> fraction{0.0};

    std::mutex observerMutex;
    std::function<void(double)> observer;
    net::ProgressThrottle throttle;  // used on the transfer thread only

    void post(double value) {
        std::function<void(double)> handler;
        {
            std::lock_guard lock(observerMutex);
            handler = observer;
        }
        if (handler) {
            handler(value);
        }
    }

    void bodyProgressed(std::uint64_t received, std::optional<std::uint64_t> expected) {
        if (!expected || *expected == 0) {
            return;
        }
        double value =
            std::min(1.0, static_cast<double>(received) / static_cast<double>(*expected));
        fraction.store(value);
        if (throttle.shouldPost(value, net::ProgressThrottle::Clock::now())) {
            post(value);
        }
    }

    void deliver(std::optional<Bytes> body, std::optional<HTTPResponse> response,
                 std::optional<URLError> error) {
        callbackQueue->async([completion = std::move(completion), body = std::move(body),
                              response = std::move(response), error = std::move(error)]() mutable {
            completion(std::move(body), std::move(response), std::move(error));
        });
    }

    void run(const net::TransferRequest& request) {
        auto outcome = net::performGET(
            request, [this](std::uint64_t received, std::optional<std::uint64_t> expected) {
                bodyProgressed(received, expected);
            });
        if (auto* result = std::get_if<net::TransferResult>(&outcome)) {
            fraction.store(1.0);
            post(1.0);
            deliver(std::move(result->body), std::move(result->response), std::nullopt);
        } else {
            deliver(std::nullopt, std::nullopt, std::get<URLError>(std::move(outcome)));
        }
    }
};

class EphemeralDataTask final : public DataTask {
  public:
    explicit EphemeralDataTask(std::shared_ptr<TaskState> state) : state_(std::move(state)) {}

    void resume() override {
        if (state_->resumed.exchange(true)) {
            return;
        }
        if (!isNetworkURL(state_->url)) {
            state_->deliver(std::nullopt, std::nullopt, URLError(URLErrorCode::unsupportedURL));
            return;
        }
        // The environment is read here, on the caller's thread, so a transfer
        // sees the settings in force when it was started.
        net::TransferRequest request{state_->url, trustStoreFromEnvironment(),
                                     idleTimeoutFromEnvironment()};
        std::thread([state = state_, request = std::move(request)] {
            state->run(request);
        }).detach();
    }

    double fractionCompleted() const override { return state_->fraction.load(); }

    void observeProgress(std::function<void(double)> handler) override {
        std::lock_guard lock(state_->observerMutex);
        state_->observer = std::move(handler);
    }

  private:
    std::shared_ptr<TaskState> state_;
};

class EphemeralSession final : public URLSession {
  public:
    std::shared_ptr<DataTask> dataTask(const URL& url, DataTask::Completion completion) override {
        return std::make_shared<EphemeralDataTask>(
            std::make_shared<TaskState>(url, std::move(completion), callbackQueue_));
    }

  private:
    std::shared_ptr<net::SerialQueue> callbackQueue_ = std::make_shared<net::SerialQueue>();
};

}  // namespace

std::shared_ptr<URLSession> URLSession::ephemeral() {
    return std::make_shared<EphemeralSession>();
}

}  // namespace platform
