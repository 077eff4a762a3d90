#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "platform/net/ProgressThrottle.h"
#include "platform/net/Session.h"
#include "platform/net/TransferSettings.h"

namespace platform::net {

// One GET on its own transfer handle: set up on the caller's thread, driven
// by the session's transfer thread, completed on its callback thread.
class Transfer {
  public:
    using Clock = std::chrono::steady_clock;

    struct InMemory {
        std::size_t maximumBodySize;
        DataCompletion completion;
        Bytes body;
    };
    struct Streamed {
        BodySink sink;
        DownloadCompletion completion;
    };
    using Destination = std::variant<InMemory, Streamed>;

    Transfer(std::string address, Destination destination, Progress progress);
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // Sets the handle up for the address. False when the transfer has failed
    // already (a bad or refused address): it is then ready to complete.
    bool prepare(const TransferSettings& settings);
    CURL* handle() const noexcept { return handle_; }
    // Once ended: frees the handle, everything the completion needs is kept.
    void releaseHandle() noexcept;

    // Transfer thread: curl has ended the transfer with code.
    void ended(CURLcode code);
    // Transfer thread: ends a transfer silent for the idle time-out (true),
    // or shows progress whose turn has come (false).
    bool tick(Clock::time_point now);
    // When tick has something to do next.
    Clock::time_point nextDeadline() const;

    // Callback thread: hands the outcome to the completion, once.
    void complete();

  private:
    static size_t onHeader(char* data, size_t size, size_t count, void* user);
    static size_t onBody(char* data, size_t size, size_t count, void* user);
    size_t receive(const std::byte* data, size_t length);
    void startBody();
    void show(std::optional<double> fraction);
    // Keeps the first failure; makeError may run out of memory.
    template <typename MakeError>
    void fail(MakeError makeError);
    URLError errorFor(CURLcode code) const;

    std::string address_;
    Destination destination_;
    Progress progress_;
    CURL* handle_ = nullptr;
    char detail_[CURL_ERROR_SIZE] = {};

    Clock::duration idleTimeout_{};
    long lowSpeedLimit_ = 0;
    std::chrono::seconds lowSpeedWindow_{};
    Clock::time_point lastActivity_;
    std::uint64_t received_ = 0;
    std::optional<std::uint64_t> expected_;
    bool bodyStarted_ = false;
    ProgressThrottle throttle_;

    std::optional<Response> response_;
    std::optional<URLError> error_;
    std::exception_ptr sinkError_;
};

}  // namespace platform::net
