#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace installer::safety {

// Title of the alert for a refused bundle.
inline constexpr std::string_view unsafeBundleTitle = "Unsafe application in archive";

// Checks the application bundle an archive unpacked, before it moves into the
// applications folder: the bundle must be a real folder, not a link, and
// every symbolic link in it must resolve inside it. Links inside bundles are
// common (a framework's "Versions/Current -> A") and stay. Refused are links
// with an absolute target, whose target climbs out of the bundle (also by
// way of other links in it), and links that go round in circles. Folders the
// archive left unreadable are opened for the check and given back their
// modes. A plain file under the bundle's name is not this check's concern.
//
// Returns nothing when the bundle may be installed, else the alert's message,
// which names the bundle and the offending link with its target.
std::optional<std::string> checkUnpackedBundle(const std::filesystem::path& bundle);

}  // namespace installer::safety
