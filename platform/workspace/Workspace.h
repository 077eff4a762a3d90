#pragma once

#include <vector>

#include "platform/system/URL.h"

namespace platform::workspace {

// Asks the desktop to open an item. An application bundle (a NAME.app folder
// with Contents/Info.plist) is started from its Contents/MacOS/<CFBundleExecutable>,
// detached so it outlives the caller and is never the caller's child; any
// other file, or a network URL, goes to the desktop's default handler
// (xdg-open on PATH). Tells whether the request was accepted: false for a
// missing file, a bundle whose executable cannot be started, or when there
// is no default handler.
bool open(const URL& url);

// Shows the items in the desktop's file browser, selected where it can: the
// file browser's ShowItems request on the session bus, else the folders that
// hold the items go to the default handler. Waits a few seconds at most.
void activateFileViewerSelecting(const std::vector<URL>& urls);

}  // namespace platform::workspace
