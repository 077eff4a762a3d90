#include "platform/net/Session.h"

#include <curl/curl.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <list>
#include <mutex>
#include <thread>

#include "platform/net/Transfer.h"

namespace platform::net {
namespace {

using Clock = Transfer::Clock;
using TransferList = std::list<std::unique_ptr<Transfer>>;

// The loop also wakes this often with nothing to do, as a safety net.
constexpr std::chrono::milliseconds longestWait{1000};

void initializeOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

// The transfer thread runs every transfer of the session in one multi
// handle; finished transfers move, list node and all (so that ending a
// transfer never needs memory), to the callback thread's queue.
class Session::Loop {
  public:
    Loop() {
        initializeOnce();
        multi_ = curl_multi_init();
        if (multi_ == nullptr) {
            throw std::bad_alloc();
        }
        transferThread_ = std::thread([this] { runTransfers(); });
        try {
            callbackThread_ = std::thread([this] { runCallbacks(); });
        } catch (...) {
            stopTransfers();
            curl_multi_cleanup(multi_);
            throw;
        }
    }

    ~Loop() {
        if (std::this_thread::get_id() == callbackThread_.get_id()) {
            std::fputs("platform::net::Session destroyed from its own callback thread\n", stderr);
            std::terminate();
        }
        stopTransfers();
        {
            std::lock_guard lock(finishedMutex_);
            stoppingCallbacks_ = true;
        }
        finishedChanged_.notify_all();
        callbackThread_.join();
        curl_multi_cleanup(multi_);
    }

    // Caller's thread: the environment is read here, so a transfer runs
    // with the settings in force when it was started.
    void start(std::unique_ptr<Transfer> transfer) {
        TransferList node;
        node.push_back(std::move(transfer));
        if (!node.front()->prepare(TransferSettings::fromEnvironment())) {
            finish(node, node.begin());
            return;
        }
        {
            std::lock_guard lock(inboxMutex_);
            inbox_.splice(inbox_.end(), node);
        }
        curl_multi_wakeup(multi_);
    }

  private:
    void stopTransfers() {
        {
            std::lock_guard lock(inboxMutex_);
            stopping_ = true;
        }
        curl_multi_wakeup(multi_);
        transferThread_.join();
    }

    void runTransfers() {
        for (;;) {
            TransferList arrived;
            {
                std::lock_guard lock(inboxMutex_);
                if (stopping_) {
                    break;
                }
                arrived.splice(arrived.end(), inbox_);
            }
            addArrived(arrived);
            int running = 0;
            curl_multi_perform(multi_, &running);
            collectEnded();
            Clock::time_point now = Clock::now();
            Clock::time_point wakeAt = now + longestWait;
            for (auto it = running_.begin(); it != running_.end();) {
                Transfer& transfer = **it;
                auto next = std::next(it);
                if (transfer.tick(now)) {
                    curl_multi_remove_handle(multi_, transfer.handle());
                    finish(running_, it);
                } else {
                    wakeAt = std::min(wakeAt, transfer.nextDeadline());
                }
                it = next;
            }
            long curlWait = -1;
            curl_multi_timeout(multi_, &curlWait);
            auto wait = std::chrono::ceil<std::chrono::milliseconds>(
                std::max(Clock::duration::zero(), wakeAt - Clock::now()));
            if (curlWait >= 0) {
                wait = std::min(wait, std::chrono::milliseconds(curlWait));
            }
            curl_multi_poll(multi_, nullptr, 0, static_cast<int>(wait.count()), nullptr);
        }
        for (auto& transfer : running_) {
            curl_multi_remove_handle(multi_, transfer->handle());
        }
        running_.clear();
    }

    void addArrived(TransferList& arrived) {
        while (!arrived.empty()) {
            Transfer& transfer = *arrived.front();
            if (curl_multi_add_handle(multi_, transfer.handle()) == CURLM_OK) {
                running_.splice(running_.end(), arrived, arrived.begin());
            } else {
                transfer.ended(CURLE_OUT_OF_MEMORY);
                finish(arrived, arrived.begin());
            }
        }
    }

    void collectEnded() {
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            CURL* handle = message->easy_handle;
            CURLcode code = message->data.result;
            auto it = std::find_if(running_.begin(), running_.end(),
                                   [handle](const auto& t) { return t->handle() == handle; });
            curl_multi_remove_handle(multi_, handle);
            if (it != running_.end()) {
                (*it)->ended(code);
                finish(running_, it);
            }
        }
    }

    // Moves one transfer, its list node with it, to the callback queue. Its
    // handle goes first, on this thread, the one that drove it.
    void finish(TransferList& from, TransferList::iterator which) {
        (*which)->releaseHandle();
        {
            std::lock_guard lock(finishedMutex_);
            finished_.splice(finished_.end(), from, which);
        }
        finishedChanged_.notify_one();
    }

    void runCallbacks() {
        std::unique_lock lock(finishedMutex_);
        for (;;) {
            finishedChanged_.wait(lock, [&] { return !finished_.empty() || stoppingCallbacks_; });
            if (stoppingCallbacks_) {
                return;
            }
            TransferList current;
            current.splice(current.end(), finished_, finished_.begin());
            lock.unlock();
            current.front()->complete();
            // The transfer and what its completion captured go before the
            // lock is taken again.
            current.clear();
            lock.lock();
        }
    }

    CURLM* multi_ = nullptr;
    TransferList running_;  // transfer thread only

    std::mutex inboxMutex_;
    TransferList inbox_;
    bool stopping_ = false;

    std::mutex finishedMutex_;
    std::condition_variable finishedChanged_;
    TransferList finished_;
    bool stoppingCallbacks_ = false;

    std::thread transferThread_;
    std::thread callbackThread_;
};

Session::Session() : loop_(std::make_unique<Loop>()) {}

Session::~Session() = default;

void Session::fetch(std::string address, std::size_t maximumBodySize, DataCompletion completion,
                    Progress progress) {
    loop_->start(std::make_unique<Transfer>(
        std::move(address), Transfer::InMemory{maximumBodySize, std::move(completion), {}},
        std::move(progress)));
}

void Session::download(std::string address, BodySink sink, DownloadCompletion completion,
                       Progress progress) {
    loop_->start(std::make_unique<Transfer>(
        std::move(address), Transfer::Streamed{std::move(sink), std::move(completion)},
        std::move(progress)));
}

}  // namespace platform::net
