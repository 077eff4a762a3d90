#pragma once

#include <vector>

#include "platform/system/URL.h"

namespace platform::workspace {

// Asks the desktop to open an item. An application bundle is started from its
// Contents/MacOS/<CFBundleExecutable>, detached so it outlives the caller;
// any other file goes to the desktop's default handler. Tells whether the
// request was accepted.
bool open(const URL& url);

// Shows the items in the desktop's file browser, selected where it can.
void activateFileViewerSelecting(const std::vector<URL>& urls);

}  // namespace platform::workspace
