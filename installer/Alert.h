#pragma once

#include <string>
#include <vector>

class QWidget;

namespace installer {

enum class AlertStyle { warning, critical };

// A modal alert: a message text (its title), an informative text and buttons.
struct Alert {
    AlertStyle style = AlertStyle::critical;
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttons;
};

// Shows the alert modally over parent (may be null) on the main thread and
// returns the index of the button that dismissed it. The first button is the
// default one (Return presses it). The alert window's title is the message
// text.
//
// Test hook: when the environment variable CORVANTIS_TEST_ALERT_REPORT is set
// and not empty, the alert, once on screen, writes one line to standard
// error: "alert: " and a JSON object with "style", "title", "message" and
// "buttons". It changes nothing else; the alert still waits for a real button
// press.
int runModalAlert(const Alert& alert, QWidget* parent);

}  // namespace installer
