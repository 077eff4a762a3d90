#include "tests/support/HttpsServer.h"

#include <signal.h>

#include <fstream>
#include <stdexcept>
#include <utility>

namespace testsupport {
namespace {

const std::filesystem::path scriptsDirectory = CORVANTIS_SCRIPTS_DIR;

}  // namespace

void makeTestCertificates(const std::filesystem::path& directory) {
    if (runProgram({(scriptsDirectory / "make-test-certificates").string(), directory.string()})
            .status != 0) {
        throw std::runtime_error("make-test-certificates failed");
    }
}

HttpsServer::HttpsServer(const std::filesystem::path& root,
                         const std::filesystem::path& certificates, Scheme scheme, std::string host)
    : scheme_(scheme == Scheme::https ? "https" : "http"), host_(std::move(host)) {
    std::vector<std::string> argv{"python3",
                                  (scriptsDirectory / "https-server.py").string(),
                                  "--root",
                                  root.string(),
                                  "--certificates",
                                  certificates.string(),
                                  "--host",
                                  host_,
                                  "--connection-log",
                                  (logDirectory_.path() / "log").string(),
                                  "--until-input-ends"};
    if (scheme == Scheme::plainHTTP) {
        argv.push_back("--plain");
    }
    process_ = std::make_unique<ChildProcess>(argv, ChildProcess::Input::heldOpen);
    const auto line = process_->readLine();
    if (!line || !line->starts_with("PORT ")) {
        throw std::runtime_error("https-server.py did not start");
    }
    port_ = std::stoi(line->substr(5));
    process_->closeOutput();
}

HttpsServer::~HttpsServer() {
    process_->signal(SIGTERM);
    process_->wait();
}

std::string HttpsServer::url(std::string_view pathAndQuery) const {
    return scheme_ + "://" + host_ + ":" + std::to_string(port_) + std::string(pathAndQuery);
}

std::string HttpsServer::localhostURL(std::string_view pathAndQuery) const {
    return scheme_ + "://localhost:" + std::to_string(port_) + std::string(pathAndQuery);
}

int HttpsServer::connectionsAccepted() const {
    std::ifstream log(logDirectory_.path() / "log");
    int count = 0;
    for (std::string line; std::getline(log, line);) {
        ++count;
    }
    return count;
}

}  // namespace testsupport
