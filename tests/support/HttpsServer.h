#pragma once

// A real HTTPS server for tests: scripts/https-server.py (with its special
// paths) serving a directory on 127.0.0.1, with a certificate made by
// scripts/make-test-certificates. Clients trust it through SSL_CERT_FILE set
// to the certificates' ca.pem. The constructor returns once the server listens;
// the destructor stops it. With Scheme::plainHTTP it speaks plain HTTP, for
// showing that a client never connects to it. Link the target test_support.

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "tests/support/ChildProcess.h"
#include "tests/support/TemporaryDirectory.h"

namespace testsupport {

// Runs scripts/make-test-certificates: ca.pem, server.pem and server-key.pem in
// directory, a new authority each time. Throws on failure.
void makeTestCertificates(const std::filesystem::path& directory);

class HttpsServer {
  public:
    enum class Scheme { https, plainHTTP };

    // host is the address to listen on; the certificate names only 127.0.0.1,
    // ::1 and localhost, so any other loopback address is a name it does not cover.
    HttpsServer(const std::filesystem::path& root, const std::filesystem::path& certificates,
                Scheme scheme = Scheme::https, std::string host = "127.0.0.1");
    ~HttpsServer();

    int port() const noexcept { return port_; }
    // "https://<host>:<port>" (or "http://...") followed by pathAndQuery.
    std::string url(std::string_view pathAndQuery) const;
    // The same on the name localhost.
    std::string localhostURL(std::string_view pathAndQuery) const;
    // How many connections the server has accepted so far.
    int connectionsAccepted() const;

  private:
    TemporaryDirectory logDirectory_{"server-log"};
    std::string scheme_;
    std::string host_;
    std::unique_ptr<ChildProcess> process_;
    int port_ = 0;
};

}  // namespace testsupport
