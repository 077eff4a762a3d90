#pragma once

// A real HTTPS server for tests: https-server.py (beside this file) serving a
// directory on 127.0.0.1, with a certificate made by make-test-certificates.
//
//   testsupport::TemporaryDirectory certificates;
//   testsupport::makeTestCertificates(certificates.path());
//   testsupport::HttpsServer server(rootDirectory, certificates.path());
//   testsupport::ScopedEnvironmentVariable trust("SSL_CERT_FILE",
//       (certificates.path() / "ca.pem").string());
//   fetch(server.url("/file.zip"));           // https://127.0.0.1:<port>/file.zip
//   fetch(server.url("/_status/404"));        // the special paths of https-server.py
//
// The constructor returns once the server listens; the destructor stops it
// with SIGTERM and waits for it. With Scheme::plainHTTP it speaks plain HTTP
// instead (its url() starts with "http://"), for showing that a client never
// connects to it. Link the target test_support.

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace testsupport {

class ChildProcess;
class TemporaryDirectory;

// The folder holding the support scripts.
std::filesystem::path supportDirectory();

// Runs make-test-certificates: ca.pem, server.pem, server-key.pem (and
// ca-key.pem) in directory, a new authority each time. Throws on failure.
void makeTestCertificates(const std::filesystem::path& directory);

class HttpsServer {
  public:
    enum class Scheme { https, plainHTTP };

    HttpsServer(const std::filesystem::path& root, const std::filesystem::path& certificates,
                Scheme scheme = Scheme::https);
    ~HttpsServer();
    HttpsServer(const HttpsServer&) = delete;
    HttpsServer& operator=(const HttpsServer&) = delete;

    int port() const noexcept { return port_; }
    // "https://127.0.0.1:<port>" (or "http://...") followed by pathAndQuery,
    // which starts with "/".
    std::string url(std::string_view pathAndQuery) const;
    // The same on the name localhost.
    std::string localhostURL(std::string_view pathAndQuery) const;
    // Stops the server (SIGTERM) and returns its exit status; 0 when it
    // stopped cleanly.
    int stop();
    // How many connections the server has accepted so far.
    int connectionsAccepted() const;

  private:
    std::unique_ptr<TemporaryDirectory> logDirectory_;
    std::string scheme_;
    std::unique_ptr<ChildProcess> process_;
    int port_ = 0;
    bool stopped_ = false;
    int status_ = 0;
};

}  // namespace testsupport
