#include "platform/workspace/Workspace.h"

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "platform/bundle/Bundle.h"
#include "platform/system/Error.h"
#include "platform/workspace/ChildLaunch.h"

namespace platform::workspace {
namespace {

namespace fs = std::filesystem;

// Long enough for a running file browser to answer, short enough that a
// caller about to quit is not held up for long.
constexpr std::chrono::milliseconds busCallLimit{4000};

bool isApplicationBundle(const fs::path& path) {
    std::error_code ignored;
    return path.extension() == ".app" && fs::is_directory(path, ignored) &&
           fs::is_regular_file(path / "Contents" / "Info.plist", ignored);
}

bool launchApplication(const fs::path& bundlePath) {
    std::optional<std::string> name =
        Bundle::atPath(bundlePath).stringForInfoDictionaryKey("CFBundleExecutable");
    if (!name || name->empty() || name->find('/') != std::string::npos) {
        return false;
    }
    return launchDetached(bundlePath / "Contents" / "MacOS" / *name, {});
}

bool openWithDefaultHandler(const std::string& item) {
    std::optional<fs::path> opener = findExecutable("xdg-open");
    return opener && launchDetached(*opener, {item});
}

bool hasSessionBus() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address != nullptr && *address != '\0') {
        return true;
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code ignored;
    return runtime != nullptr && *runtime != '\0' &&
           fs::is_socket(fs::path(runtime) / "bus", ignored);
}

// A URI that the bus tools take as it is: quotes and commas, which they
// would read as syntax, percent-encoded like any other reserved character.
std::string busSafe(const std::string& uri) {
    std::string out;
    for (char c : uri) {
        if (c == '\'') {
            out += "%27";
        } else if (c == ',') {
            out += "%2C";
        } else {
            out += c;
        }
    }
    return out;
}

bool showItemsOverBus(const std::vector<URL>& urls) {
    if (!hasSessionBus()) {
        return false;
    }
    if (std::optional<fs::path> gdbus = findExecutable("gdbus")) {
        std::string list = "[";
        for (const URL& url : urls) {
            list += (list.size() > 1 ? ", '" : "'") + busSafe(url.absoluteString()) + "'";
        }
        list += "]";
        return runBriefly(
                   *gdbus,
                   {"call", "--session", "--timeout", "3", "--dest", "org.freedesktop.FileManager1",
                    "--object-path", "/org/freedesktop/FileManager1", "--method",
                    "org.freedesktop.FileManager1.ShowItems", list, ""},
                   busCallLimit) == 0;
    }
    if (std::optional<fs::path> dbusSend = findExecutable("dbus-send")) {
        std::string list = "array:string:";
        for (const URL& url : urls) {
            list += (&url == &urls.front() ? "" : ",") + busSafe(url.absoluteString());
        }
        return runBriefly(*dbusSend,
                          {"--session", "--print-reply", "--reply-timeout=3000",
                           "--dest=org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                           "org.freedesktop.FileManager1.ShowItems", list, "string:"},
                          busCallLimit) == 0;
    }
    return false;
}

}  // namespace

bool open(const URL& url) {
    try {
        if (!url.isFileURL()) {
            return openWithDefaultHandler(url.absoluteString());
        }
        fs::path path = url.path();
        std::error_code ignored;
        if (!fs::exists(path, ignored)) {
            return false;
        }
        if (isApplicationBundle(path)) {
            return launchApplication(path);
        }
        return openWithDefaultHandler(path.string());
    } catch (const SystemError&) {
        // No process could be made: the request was not taken up.
        return false;
    }
}

void activateFileViewerSelecting(const std::vector<URL>& urls) {
    if (urls.empty()) {
        return;
    }
    try {
        if (showItemsOverBus(urls)) {
            return;
        }
        // Without a file browser on the bus, show the folders that hold the items.
        std::set<std::string> folders;
        for (const URL& url : urls) {
            folders.insert(url.isFileURL() ? fs::path(url.path()).parent_path().string()
                                           : url.absoluteString());
        }
        for (const std::string& folder : folders) {
            openWithDefaultHandler(folder);
        }
    } catch (const SystemError&) {
        // Showing items is a courtesy; nothing is left to do when it fails.
    }
}

}  // namespace platform::workspace
