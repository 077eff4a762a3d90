#include "installer/engine/TemporaryDirectory.h"

#include "platform/system/FileSystem.h"
#include "platform/system/UUID.h"

namespace installer {

const std::filesystem::path& installerTempDirectory() {
    static const auto directory =
        platform::FileSystem::shared().temporaryDirectory() / platform::makeUUIDString();
    return directory;
}

}  // namespace installer
