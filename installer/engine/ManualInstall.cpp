#include "installer/engine/ManualInstall.h"

namespace installer {
namespace {

// Every occurrence, left to right in one pass, as the text reads it.
std::string withoutAppSuffixes(const std::string& name) {
    static constexpr std::string_view suffix = ".app";
    std::string result;
    std::size_t position = 0;
    for (auto found = name.find(suffix); found != std::string::npos;
         found = name.find(suffix, position)) {
        result.append(name, position, found - position);
        position = found + suffix.size();
    }
    result.append(name, position);
    return result;
}

}  // namespace

Alert manualInstallAlert(const std::string& name, int errorCode) {
    return Alert{
        AlertStyle::warning,
        "You will need to manually move " + withoutAppSuffixes(name) + " to Applications folder.",
        "We will reveal " + name +
            " in Finder. You can then manually drag the application to the Applications folder "
            "yourself." +
            "\n\n" + "Internal code: " + std::to_string(errorCode),
        {"Reveal in Finder"},
    };
}

}  // namespace installer
