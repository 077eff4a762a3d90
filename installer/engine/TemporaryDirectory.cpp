#include "installer/engine/TemporaryDirectory.h"

#include <cstdlib>

#include "platform/system/UUID.h"

namespace installer {
namespace {

std::filesystem::path systemTemporaryDirectory() {
    const char* variable = std::getenv("TMPDIR");
    return variable != nullptr && *variable != '\0' ? variable : "/tmp";
}

}  // namespace

const std::filesystem::path& installerTempDirectory() {
    static const auto directory = systemTemporaryDirectory() / platform::makeUUIDString();
    return directory;
}

}  // namespace installer
