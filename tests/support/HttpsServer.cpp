#include "tests/support/HttpsServer.h"

#include <signal.h>

#include <fstream>
#include <stdexcept>

#include "tests/support/ChildProcess.h"
#include "tests/support/TemporaryDirectory.h"

namespace testsupport {

std::filesystem::path supportDirectory() {
    return CORVANTIS_TEST_SUPPORT_DIR;
}

void makeTestCertificates(const std::filesystem::path& directory) {
    ProgramResult result =
        runProgram({(supportDirectory() / "make-test-certificates").string(), directory.string()});
    if (result.status != 0) {
        throw std::runtime_error("make-test-certificates failed with status " +
                                 std::to_string(result.status));
    }
}

namespace {

std::filesystem::path connectionLog(const TemporaryDirectory& directory) {
    return directory.path() / "connections.log";
}

}  // namespace

HttpsServer::HttpsServer(const std::filesystem::path& root,
                         const std::filesystem::path& certificates, Scheme scheme)
    : logDirectory_(std::make_unique<TemporaryDirectory>("server-log")),
      scheme_(scheme == Scheme::https ? "https" : "http") {
    std::vector<std::string> argv{"python3",
                                  (supportDirectory() / "https-server.py").string(),
                                  "--root",
                                  root.string(),
                                  "--certificates",
                                  certificates.string(),
                                  "--port",
                                  "0",
                                  "--connection-log",
                                  connectionLog(*logDirectory_).string(),
                                  "--until-input-ends"};
    if (scheme == Scheme::plainHTTP) {
        argv.push_back("--plain");
    }
    process_ = std::make_unique<ChildProcess>(argv, ChildProcess::Input::heldOpen);
    std::optional<std::string> line = process_->readLine();
    if (!line || line->rfind("PORT ", 0) != 0) {
        throw std::runtime_error(
            "https-server.py did not start (first line: " + line.value_or("<none>") + ")");
    }
    port_ = std::stoi(line->substr(5));
    process_->closeOutput();
}

HttpsServer::~HttpsServer() {
    stop();
}

std::string HttpsServer::url(std::string_view pathAndQuery) const {
    return scheme_ + "://127.0.0.1:" + std::to_string(port_) + std::string(pathAndQuery);
}

std::string HttpsServer::localhostURL(std::string_view pathAndQuery) const {
    return scheme_ + "://localhost:" + std::to_string(port_) + std::string(pathAndQuery);
}

int HttpsServer::stop() {
    if (!stopped_) {
        process_->signal(SIGTERM);
        status_ = process_->wait();
        stopped_ = true;
    }
    return status_;
}

}  // namespace testsupport

namespace testsupport {

int HttpsServer::connectionsAccepted() const {
    std::ifstream log(connectionLog(*logDirectory_));
    int count = 0;
    for (std::string line; std::getline(log, line);) {
        ++count;
    }
    return count;
}

}  // namespace testsupport
