#include "platform/net/URLError.h"

namespace platform::net {
namespace {

const char* standardDescription(URLErrc kind) noexcept {
    switch (kind) {
        case URLErrc::badURL:
            return "bad URL";
        case URLErrc::insecureAddressRefused:
            return "A plain-HTTP (non-HTTPS) address was refused: downloads must use HTTPS.";
        case URLErrc::timedOut:
            return "The request timed out.";
        case URLErrc::transferTooSlow:
            return "The server sent data too slowly.";
        case URLErrc::cannotFindHost:
            return "A server with the specified hostname could not be found.";
        case URLErrc::cannotConnectToHost:
            return "Could not connect to the server.";
        case URLErrc::networkConnectionLost:
            return "The network connection was lost.";
        case URLErrc::tooManyRedirects:
            return "too many HTTP redirects";
        case URLErrc::badServerResponse:
            return "The server's response could not be understood.";
        case URLErrc::bodyTooLarge:
            return "The response is too large.";
        case URLErrc::outOfMemory:
            return "There is not enough memory to receive the response.";
        case URLErrc::secureConnectionFailed:
            return "An SSL error has occurred and a secure connection to the server cannot be "
                   "made.";
        case URLErrc::serverCertificateUntrusted:
            return "The certificate for this server is invalid.";
        case URLErrc::unknown:
            break;
    }
    return "An unknown error occurred.";
}

class URLErrorCategory final : public std::error_category {
  public:
    const char* name() const noexcept override { return "url"; }
    std::string message(int value) const override {
        return standardDescription(static_cast<URLErrc>(value));
    }
};

}  // namespace

const std::error_category& urlErrorCategory() noexcept {
    static const URLErrorCategory category;
    return category;
}

std::error_code make_error_code(URLErrc kind) noexcept {
    return {static_cast<int>(kind), urlErrorCategory()};
}

URLError::URLError(URLErrc kind) : std::system_error(make_error_code(kind)) {}

URLError::URLError(URLErrc kind, std::string description)
    : std::system_error(make_error_code(kind)),
      description_(std::make_shared<const std::string>(std::move(description))) {}

const char* URLError::what() const noexcept {
    return description_ ? description_->c_str() : standardDescription(kind());
}

}  // namespace platform::net
