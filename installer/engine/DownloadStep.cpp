// The download step: fetch the chosen build into the working directory while
// the progress bar moves, checking its bytes as they arrive, then hand the
// file to unpacking.
#include <cerrno>
#include <cstdio>
#include <memory>
#include <utility>

#include "installer/engine/DownloadProgress.h"
#include "installer/engine/Format.h"
#include "installer/engine/InstallEngine.h"
#include "installer/safety/ArtifactPath.h"
#include "installer/verification/BuildVerification.h"
#include "platform/net/Address.h"
#include "platform/system/FileSystem.h"

namespace installer {
namespace {

namespace fs = std::filesystem;

std::system_error failure(int errnum, const std::string& what, const fs::path& path) {
    return {errnum, std::generic_category(), what + " '" + path.string() + "'"};
}

// The file a download grows in, hidden in the working directory until it is
// complete and checked; then it takes the build's own name. Memory stays the
// same whatever the build's size.
class PartialFile {
  public:
    explicit PartialFile(fs::path path) : path_(std::move(path)) {
        file_ = std::fopen(path_.c_str(), "wbx");
        if (!file_) {
            throw failure(errno, "Could not open", path_);
        }
    }
    ~PartialFile() {
        if (file_) {
            std::fclose(file_);
        }
    }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    void write(std::span<const std::byte> bytes) {
        if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
            throw failure(errno, "Could not write", path_);
        }
    }
    // Closes the file and gives it the name destination.
    void complete(const fs::path& destination) {
        const bool flushed = std::fflush(file_) == 0;
        const int flushError = errno;
        const bool closed = std::fclose(std::exchange(file_, nullptr)) == 0;
        if (!flushed || !closed) {
            throw failure(flushed ? errno : flushError, "Could not write", path_);
        }
        std::error_code error;
        fs::rename(path_, destination, error);
        if (error) {
            throw failure(error.value(), "Could not write", destination);
        }
    }

  private:
    fs::path path_;
    std::FILE* file_ = nullptr;
};

// What the transfer thread and the callback thread share for one download.
struct Download {
    Download(fs::path hidden, const std::string& url, const BuildChecks& checks,
             const PublicKeySetting& publicKey)
        : file(std::move(hidden)), verification(url, checks.sha512, checks.signature, publicKey) {}

    PartialFile file;
    BuildVerification verification;
};

}  // namespace

fs::path InstallEngine::artifactDestination(const std::string& path) {
    if (auto refusal = safety::checkArtifactPath(workingDirectory(), path)) {
        showError(std::string(safety::unsafeArtifactPathTitle), *refusal);
    }
    // A "/" inside the path gives nested components.
    return workingDirectory() / fs::path(path);
}

void InstallEngine::downloadArtifact(const std::string& url, const std::string& path,
                                     const std::string& version, bool isZip,
                                     const BuildChecks& checks) {
    // Before anything is shown or written: nothing of a refused build lands.
    const auto destination = artifactDestination(path);
    runOnMain([&] {
        view_.showStatus(format("Downloading version %@…", {version}));
        view_.showProgress(3);
    });
    downloadFile(
        url, destination, checks,
        [this](double fraction) { setProgress(downloadProgressValue(fraction)); },
        [this, isZip](const fs::path& file) { handleDownloadedFile(file, isZip); });
}

void InstallEngine::downloadFile(const std::string& url, const fs::path& destination,
                                 const BuildChecks& checks,
                                 std::function<void(double fraction)> onProgress,
                                 std::function<void(const fs::path& file)> onCompletion) {
    try {
        (void)platform::net::checkedAddress(url);
    } catch (const platform::net::URLError& error) {
        if (error.code() == platform::net::URLErrc::badURL) {
            showError("Error downloading file",
                      format("The download address \"%@\" is not a valid URL.", {url}));
        }
        log({"Error downloading file from " + url});
        showError("Error downloading file", error.what());
    }
    try {
        platform::FileSystem::shared().createDirectories(workingDirectory());
    } catch (const std::system_error& error) {
        showError(format("Error creating directory %@", {workingDirectory().string()}),
                  error.what());
    }
    const auto hidden = workingDirectory() / ("." + destination.filename().string() + ".download");
    std::shared_ptr<Download> download;
    try {
        download = std::make_shared<Download>(hidden, url, checks, settings_.publicKey);
    } catch (const std::system_error& error) {
        showError("Error writing to " + destination.string(), error.what());
    }

    auto sink = [download](std::span<const std::byte> piece) {
        download->file.write(piece);
        download->verification.update(piece);
    };
    auto completion = [this, url, destination, download, onCompletion = std::move(onCompletion)](
                          platform::net::DownloadOutcome outcome) {
        atStepBoundary("Error downloading file", [&] {
            // The status is not examined: whatever body came is the artifact.
            if (outcome.error) {
                log({"Error downloading file from " + url});
                showError("Error downloading file", outcome.error->what());
            }
            try {
                if (outcome.sinkError) {
                    std::rethrow_exception(outcome.sinkError);
                }
                if (auto refusal = download->verification.finish()) {
                    showError(std::string(BuildVerification::failureTitle), *refusal);
                }
                download->file.complete(destination);
            } catch (const std::system_error& error) {
                showError("Error writing to " + destination.string(), error.what());
            }
            onCompletion(destination);
        });
    };
    session_.download(url, std::move(sink), std::move(completion),
                      [this, onProgress = std::move(onProgress)](double fraction) {
                          atStepBoundary("Error downloading file", [&] { onProgress(fraction); });
                      });
}

}  // namespace installer
