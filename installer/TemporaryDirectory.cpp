#include "installer/TemporaryDirectory.h"

#include <mutex>
#include <optional>

#include "platform/system/FileManager.h"
#include "platform/system/UUID.h"

namespace installer {

const platform::URL& installerTempDirectory() {
    static std::once_flag once;
    static std::optional<platform::URL> directory;
    std::call_once(once, [] {
        auto temporary = platform::FileManager::defaultManager().temporaryDirectory();
        directory = platform::URL::fileURL(temporary, true)
                        .appendingPathComponent(platform::makeUUIDString(), true);
    });
    return *directory;
}

}  // namespace installer
