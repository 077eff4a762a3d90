#pragma once

#include <string>
#include <string_view>

namespace platform::net {

// Network addresses as the transfer library's own URL parser reads them, so
// that what is checked here is exactly what gets fetched.

// The text as an absolute https address, written back the way it will be
// fetched. Throws URLError: badURL when it is not an absolute URL with a
// host, insecureAddressRefused for any scheme but https.
std::string checkedAddress(std::string_view text);

// reference resolved against base the way a link on the page at base would
// be ("../b", "/c?d", or a whole address), then checked like checkedAddress.
std::string joinedAddress(std::string_view base, std::string_view reference);

// The host of an address ("example.com" for "https://example.com:8443/a");
// empty when it has none.
std::string hostOf(std::string_view address);

}  // namespace platform::net
