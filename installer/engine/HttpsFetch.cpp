// The one place where the install flow meets the network layer.
#include "installer/engine/HttpsFetch.h"

#include <mutex>
#include <utility>

#include "platform/net/URLSession.h"
#include "platform/system/URL.h"

namespace installer {
namespace {

// The progress observation of the latest fetch. Holding the task keeps its
// observer for the rest of the process; a newer fetch's task takes the place
// of the one before, whose observer is dropped.
void holdObservedTask(std::shared_ptr<platform::DataTask> task) {
    static std::mutex mutex;
    static auto* slot = new std::shared_ptr<platform::DataTask>;
    std::shared_ptr<platform::DataTask> previous;
    {
        std::lock_guard lock(mutex);
        previous = std::exchange(*slot, std::move(task));
    }
    if (previous) {
        previous->observeProgress({});
    }
}

}  // namespace

bool isFetchableAddress(const std::string& address) {
    return platform::URL::parse(address).has_value();
}

void startFetch(const std::string& address, std::function<void(double fraction)> onProgress,
                std::function<void(HttpsReply reply)> onCompletion) {
    auto completion = [onCompletion = std::move(onCompletion)](
                          std::optional<platform::Bytes> body,
                          std::optional<platform::HTTPResponse> response,
                          std::optional<platform::URLError> error) {
        HttpsReply reply;
        reply.body = std::move(body);
        if (response) {
            reply.statusCode = response->statusCode;
        }
        if (error) {
            reply.error = error->localizedDescription();
        }
        onCompletion(std::move(reply));
    };
    auto task = platform::URLSession::ephemeral()->dataTask(*platform::URL::parse(address),
                                                            std::move(completion));
    if (onProgress) {
        task->observeProgress(std::move(onProgress));
        holdObservedTask(task);
    }
    task->resume();
}

}  // namespace installer
