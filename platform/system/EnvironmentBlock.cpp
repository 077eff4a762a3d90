#include "platform/system/EnvironmentBlock.h"

namespace platform {

EnvironmentBlock::EnvironmentBlock(const std::map<std::string, std::string>& variables) {
    std::size_t size = 0;
    for (const auto& [name, value] : variables) {
        size += name.size() + value.size() + 2;
    }
    texts_.reserve(size);
    starts_.reserve(variables.size());
    for (const auto& [name, value] : variables) {
        // A NUL inside a value ends it for the child, as in any C string.
        starts_.push_back(texts_.size());
        texts_.append(name).append(1, '=').append(value).append(1, '\0');
    }
}

std::vector<char*> EnvironmentBlock::pointers() const {
    std::vector<char*> pointers;
    pointers.reserve(starts_.size() + 1);
    // exec takes char* const[] but never writes through it.
    char* text = const_cast<char*>(texts_.data());
    for (const std::size_t start : starts_) {
        pointers.push_back(text + start);
    }
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace platform
