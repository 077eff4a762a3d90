// The download step: fetch the chosen build into the working directory while
// the progress bar moves, then hand the file to unpacking.
#include <mutex>

#include "installer/DownloadProgress.h"
#include "installer/Format.h"
#include "installer/Log.h"
#include "installer/TemporaryDirectory.h"
#include "installer/ViewController.h"
#include "platform/system/FileHandle.h"
#include "platform/system/FileManager.h"

namespace installer {
namespace {

// The one progress observation of the run. Holding the task keeps its
// observer for the rest of the process; a newer download's task takes the
// place of the one before, whose observer is dropped.
class ProgressObservation {
  public:
    static void hold(std::shared_ptr<platform::DataTask> task) {
        static auto* slot = new ProgressObservation;
        std::shared_ptr<platform::DataTask> previous;
        {
            std::lock_guard lock(slot->mutex_);
            previous = std::exchange(slot->task_, std::move(task));
        }
        if (previous) {
            previous->observeProgress({});
        }
    }

  private:
    std::mutex mutex_;
    std::shared_ptr<platform::DataTask> task_;
};

// The body in one write, without an atomic replacement.
void writeData(const platform::Bytes& data, const std::filesystem::path& path) {
    // Creates or truncates; when that fails, opening says why.
    platform::FileManager::defaultManager().createFile(path);
    platform::FileHandle::forWritingAtPath(path)->write(data);
}

}  // namespace

void ViewController::downloadArtifact(const std::string& url, const std::string& path,
                                      const std::string& version, bool isZip) {
    runOnMain([&] {
        textField->setText(QString::fromStdString(format("Downloading version %@…", {version})));
        progress->setValue(3);
    });
    auto destination = installerTempDirectory().appendingPathComponent(path);
    downloadFile(
        url, destination, [this](double fraction) { setProgress(downloadProgressValue(fraction)); },
        [this, isZip](const platform::URL& file) { handleDownloadedFile(file, isZip); });
}

void ViewController::downloadFile(const std::string& url, const platform::URL& destination,
                                  std::function<void(double fraction)> onProgress,
                                  std::function<void(const platform::URL& file)> onCompletion) {
    auto address = platform::URL::parse(url);
    if (!address) {
        showError("Error downloading file",
                  format("The download address \"%@\" is not a valid URL.", {url}));
    }
    const auto directory = installerTempDirectory().path();
    try {
        platform::FileManager::defaultManager().createDirectory(directory, true);
    } catch (const platform::Error& error) {
        showError(format("Error creating directory %@", {directory}), error.localizedDescription());
    }

    auto completion = [this, text = address->absoluteString(), destination,
                       onCompletion = std::move(onCompletion)](
                          std::optional<platform::Bytes> body,
                          std::optional<platform::HTTPResponse>,
                          std::optional<platform::URLError> error) {
        // The status is not examined: whatever body came is the artifact.
        if (error || !body) {
            log({"Error downloading file from " + text});
            showError("Error downloading file",
                      error ? error->localizedDescription() : std::string());
        }
        try {
            writeData(*body, destination.path());
        } catch (const platform::Error& writeError) {
            showError("Error writing to " + destination.path(), writeError.localizedDescription());
        }
        body.reset();  // the file has it now; unpacking may take a while
        onCompletion(destination);
    };
    auto task = platform::URLSession::ephemeral()->dataTask(*address, std::move(completion));
    task->observeProgress(std::move(onProgress));
    ProgressObservation::hold(task);
    task->resume();
}

}  // namespace installer
