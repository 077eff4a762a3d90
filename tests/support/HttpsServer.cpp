#include "tests/support/HttpsServer.h"

#include <signal.h>

#include <stdexcept>

#include "tests/support/ChildProcess.h"

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

HttpsServer::HttpsServer(const std::filesystem::path& root,
                         const std::filesystem::path& certificates)
    : process_(std::make_unique<ChildProcess>(
          std::vector<std::string>{"python3", (supportDirectory() / "https-server.py").string(),
                                   "--root", root.string(), "--certificates", certificates.string(),
                                   "--port", "0", "--until-input-ends"},
          ChildProcess::Input::heldOpen)) {
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
    return "https://127.0.0.1:" + std::to_string(port_) + std::string(pathAndQuery);
}

std::string HttpsServer::localhostURL(std::string_view pathAndQuery) const {
    return "https://localhost:" + std::to_string(port_) + std::string(pathAndQuery);
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
