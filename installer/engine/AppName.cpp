#include "installer/engine/AppName.h"

#include <algorithm>

namespace installer {

std::optional<std::string> firstAppName(const std::vector<std::string>& names) {
    auto found = std::find_if(names.begin(), names.end(), [](const std::string& name) {
        return name.find(".app") != std::string::npos;
    });
    if (found == names.end()) {
        return std::nullopt;
    }
    return *found;
}

}  // namespace installer
