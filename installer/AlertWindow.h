#pragma once

#include "installer/engine/Alert.h"

class QWidget;

namespace installer {

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
