#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace platform::net {

// The limits and trust a transfer runs with.
struct TransferSettings {
    // The trust store file servers are verified against; none: the system's.
    std::optional<std::string> trustStoreFile;
    // How long a transfer may go without receiving a byte.
    std::chrono::milliseconds idleTimeout{60'000};
    // A transfer slower than lowSpeedLimit bytes a second over a whole
    // lowSpeedWindow ends: a server that drips a byte now and then is not
    // silent, but it would hold the user forever.
    long lowSpeedLimit = 100;
    std::chrono::seconds lowSpeedWindow{60};
    long maximumRedirects = 16;

    // The standard settings, with what the environment changes: SSL_CERT_FILE
    // names the trust store; for tests, CORVANTIS_TEST_HTTP_IDLE_TIMEOUT_MS and
    // CORVANTIS_TEST_HTTP_LOW_SPEED_WINDOW_S (positive whole numbers) shorten
    // the idle time-out and the low-speed window.
    static TransferSettings fromEnvironment();
};

}  // namespace platform::net
