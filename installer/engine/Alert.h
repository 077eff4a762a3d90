#pragma once

#include <string>
#include <vector>

namespace installer {

enum class AlertStyle { warning, critical };

// A modal alert: a message text (its title), an informative text and buttons.
struct Alert {
    AlertStyle style = AlertStyle::critical;
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttons;
    friend bool operator==(const Alert&, const Alert&) = default;
};

}  // namespace installer
