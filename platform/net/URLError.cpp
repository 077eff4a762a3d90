#include <string>

#include "platform/net/URLSession.h"

namespace platform {
namespace {

std::string describe(URLErrorCode code, const std::string& host) {
    switch (code) {
        case URLErrorCode::badURL:
            return "bad URL";
        case URLErrorCode::timedOut:
            return "The request timed out.";
        case URLErrorCode::unsupportedURL:
            return "unsupported URL";
        case URLErrorCode::cannotFindHost:
            return "A server with the specified hostname could not be found.";
        case URLErrorCode::cannotConnectToHost:
            return "Could not connect to the server.";
        case URLErrorCode::networkConnectionLost:
            return "The network connection was lost.";
        case URLErrorCode::httpTooManyRedirects:
            return "too many HTTP redirects";
        case URLErrorCode::badServerResponse:
            return "The server's response could not be understood.";
        case URLErrorCode::dataLengthExceedsMaximum:
            return "The resource exceeds the maximum size.";
        case URLErrorCode::secureConnectionFailed:
            return "An SSL error has occurred and a secure connection to the server cannot be "
                   "made.";
        case URLErrorCode::serverCertificateUntrusted:
            return "The certificate for this server is invalid. You might be connecting to a "
                   "server that is pretending to be \u201c" +
                   host + "\u201d.";
        case URLErrorCode::unknown:
            break;
    }
    return "An unknown error occurred.";
}

}  // namespace

URLError::URLError(URLErrorCode code, const std::string& host)
    : Error(describe(code, host), static_cast<int>(code)) {}

}  // namespace platform
