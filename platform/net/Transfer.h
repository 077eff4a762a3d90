#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>

#include "platform/net/URLSession.h"

namespace platform::net {

struct TransferRequest {
    URL url;
    // The trust store file to verify servers against; none: the system's.
    std::optional<std::string> trustStoreFile;
    // How long the transfer may go without receiving a byte.
    std::chrono::milliseconds idleTimeout{60'000};
    long maximumRedirects = 16;
};

struct TransferResult {
    Bytes body;
    HTTPResponse response;
};

// Told after each piece of the final response's body: the bytes received so
// far and the length the server announced, when it did.
using BodyProgress =
    std::function<void(std::uint64_t received, std::optional<std::uint64_t> expected)>;

// One GET, performed on the calling thread from start to end.
std::variant<TransferResult, URLError> performGET(const TransferRequest& request,
                                                  const BodyProgress& progress);

}  // namespace platform::net
