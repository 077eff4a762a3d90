#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace installer {

// What one HTTPS GET delivered: a transport failure only (its description),
// or a body with the response's HTTP status.
struct HttpsReply {
    std::optional<std::vector<std::byte>> body;
    std::optional<int> statusCode;
    std::optional<std::string> error;
};

// Whether the text is an absolute address a fetch can be started with.
bool isFetchableAddress(const std::string& address);

// Starts one GET of a fetchable address with a fresh ephemeral session and
// returns at once. onProgress (may be empty) gets the fraction received on
// the transfer's thread; it replaces the observer of the fetch started
// before. onCompletion runs once, on the transfer's callback thread.
void startFetch(const std::string& address, std::function<void(double fraction)> onProgress,
                std::function<void(HttpsReply reply)> onCompletion);

}  // namespace installer
