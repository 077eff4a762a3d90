#include "platform/net/TransferSettings.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

namespace platform::net {
namespace {

std::optional<long long> positiveNumber(const char* variable) {
    const char* text = std::getenv(variable);
    if (text == nullptr) {
        return std::nullopt;
    }
    long long value = 0;
    const char* end = text + std::strlen(text);
    auto [stop, problem] = std::from_chars(text, end, value);
    if (problem != std::errc() || stop != end || value <= 0) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

TransferSettings TransferSettings::fromEnvironment() {
    TransferSettings settings;
    if (const char* file = std::getenv("SSL_CERT_FILE"); file != nullptr && *file != '\0') {
        settings.trustStoreFile = file;
    }
    if (auto ms = positiveNumber("CORVANTIS_TEST_HTTP_IDLE_TIMEOUT_MS")) {
        settings.idleTimeout = std::chrono::milliseconds(*ms);
    }
    if (auto seconds = positiveNumber("CORVANTIS_TEST_HTTP_LOW_SPEED_WINDOW_S")) {
        settings.lowSpeedWindow = std::chrono::seconds(*seconds);
    }
    return settings;
}

}  // namespace platform::net
