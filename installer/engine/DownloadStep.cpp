// The download step: fetch the chosen build into the working directory while
// the progress bar moves, then hand the file to unpacking.
#include <cerrno>
#include <cstdio>
#include <memory>

#include "installer/engine/DownloadProgress.h"
#include "installer/engine/Format.h"
#include "installer/engine/InstallEngine.h"

namespace installer {
namespace {

namespace fs = std::filesystem;

std::system_error failure(int errnum, const std::string& what, const fs::path& path) {
    return {errnum, std::generic_category(), what + " '" + path.string() + "'"};
}

// An existing directory counts as success.
void createDirectories(const fs::path& directory) {
    std::error_code error;
    fs::create_directories(directory, error);
    if (!error && !fs::is_directory(directory, error)) {
        error = std::make_error_code(std::errc::file_exists);
    }
    if (error) {
        throw failure(error.value(), "Could not create directory", directory);
    }
}

// The body in one write, without an atomic replacement.
void writeBody(const std::vector<std::byte>& body, const fs::path& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"),
                                                         std::fclose);
    if (!file) {
        throw failure(errno, "Could not open", path);
    }
    // An empty body has no data to point at, and is an empty file.
    if ((!body.empty() && std::fwrite(body.data(), 1, body.size(), file.get()) != body.size()) ||
        std::fflush(file.get()) != 0) {
        throw failure(errno, "Could not write", path);
    }
    if (std::fclose(file.release()) != 0) {
        throw failure(errno, "Could not write", path);
    }
}

}  // namespace

fs::path InstallEngine::artifactDestination(const std::string& path) {
    // The path names a file inside the working directory, also when it
    // starts with "/"; a "/" inside it gives nested components.
    return workingDirectory() /
           fs::path(path.substr(std::min(path.find_first_not_of('/'), path.size())));
}

void InstallEngine::downloadArtifact(const std::string& url, const std::string& path,
                                     const std::string& version, bool isZip) {
    runOnMain([&] {
        view_.showStatus(format("Downloading version %@…", {version}));
        view_.showProgress(3);
    });
    downloadFile(
        url, artifactDestination(path),
        [this](double fraction) { setProgress(downloadProgressValue(fraction)); },
        [this, isZip](const fs::path& file) { handleDownloadedFile(file, isZip); });
}

void InstallEngine::downloadFile(const std::string& url, const fs::path& destination,
                                 std::function<void(double fraction)> onProgress,
                                 std::function<void(const fs::path& file)> onCompletion) {
    if (!isFetchableAddress(url)) {
        showError("Error downloading file",
                  format("The download address \"%@\" is not a valid URL.", {url}));
    }
    try {
        createDirectories(workingDirectory());
    } catch (const std::system_error& error) {
        showError(format("Error creating directory %@", {workingDirectory().string()}),
                  error.what());
    }
    auto completion = [this, url, destination,
                       onCompletion = std::move(onCompletion)](HttpsReply reply) {
        atStepBoundary("Error downloading file", [&] {
            // The status is not examined: whatever body came is the artifact.
            if (reply.error || !reply.body) {
                log({"Error downloading file from " + url});
                showError("Error downloading file", reply.error.value_or(std::string()));
            }
            try {
                writeBody(*reply.body, destination);
            } catch (const std::system_error& error) {
                showError("Error writing to " + destination.string(), error.what());
            }
            reply.body.reset();  // the file has it now; unpacking may take a while
            onCompletion(destination);
        });
    };
    startFetch(
        url,
        [this, onProgress = std::move(onProgress)](double fraction) {
            atStepBoundary("Error downloading file", [&] { onProgress(fraction); });
        },
        std::move(completion));
}

}  // namespace installer
