#include "installer/engine/Format.h"

namespace installer {

std::string format(std::string_view templateText,
                   std::initializer_list<std::string_view> arguments) {
    std::string result;
    auto next = arguments.begin();
    std::size_t position = 0;
    while (position < templateText.size()) {
        auto placeholder = templateText.find("%@", position);
        if (placeholder == std::string_view::npos || next == arguments.end()) {
            break;
        }
        result += templateText.substr(position, placeholder - position);
        result += *next++;
        position = placeholder + 2;
    }
    result += templateText.substr(position);
    return result;
}

}  // namespace installer
