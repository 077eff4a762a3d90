#include "installer/engine/MachineHardwareName.h"

#include <sys/utsname.h>

#include <cstring>

#include "platform/system/TextEncoding.h"

namespace installer {

std::string hardwareNameFromField(std::span<const char> field) {
    auto kept = field.size();
    while (kept > 0 && field[kept - 1] == '\0') {
        --kept;
    }
    if (kept == 0) {
        kept = field.size();
    }
    // Every byte is a valid ISO-8859-1 character, so this cannot fail.
    return platform::TextEncoding::isoLatin1().decode(std::as_bytes(field.first(kept))).value();
}

std::string machineHardwareName() {
    struct utsname info;
    std::memset(&info, 0, sizeof info);
    // A failed call leaves the field all zeros, which never names an ARM machine.
    (void)uname(&info);
    return hardwareNameFromField(info.machine);
}

}  // namespace installer
