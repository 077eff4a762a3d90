#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace platform {

// Environment variables in the form a child receives them: "name=value"
// texts, each ended by a NUL, one after another in name order in one buffer.
// Made once from the variables, so a launch neither copies them node by node
// nor converts them again.
class EnvironmentBlock {
  public:
    EnvironmentBlock() = default;
    // Implicit: the variables stand for their block.
    EnvironmentBlock(const std::map<std::string, std::string>& variables);  // NOLINT

    // The texts as the null-terminated array exec takes; valid while this
    // block lives unchanged.
    std::vector<char*> pointers() const;

  private:
    std::string texts_;
    std::vector<std::size_t> starts_;
};

}  // namespace platform
