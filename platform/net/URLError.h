#pragma once

#include <memory>
#include <string>
#include <system_error>
#include <type_traits>

namespace platform::net {

// The kinds of transfer failure. Zero stays free: it means success to
// std::error_code.
enum class URLErrc {
    badURL = 1,
    insecureAddressRefused,
    timedOut,
    transferTooSlow,
    cannotFindHost,
    cannotConnectToHost,
    networkConnectionLost,
    tooManyRedirects,
    badServerResponse,
    bodyTooLarge,
    outOfMemory,
    secureConnectionFailed,
    serverCertificateUntrusted,
    unknown,
};

const std::error_category& urlErrorCategory() noexcept;
std::error_code make_error_code(URLErrc kind) noexcept;

// A transfer failure. what() is a readable sentence for an alert, such as
// "Could not connect to the server."; it may say more than the kind's own
// message (the server's name, a limit).
class URLError : public std::system_error {
  public:
    // With the kind's own message.
    explicit URLError(URLErrc kind);
    URLError(URLErrc kind, std::string description);

    URLErrc kind() const noexcept { return static_cast<URLErrc>(code().value()); }
    const char* what() const noexcept override;

  private:
    // Shared, so that copying an error never throws; none: the kind's own.
    std::shared_ptr<const std::string> description_;
};

}  // namespace platform::net

template <>
struct std::is_error_code_enum<platform::net::URLErrc> : std::true_type {};
