#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/bundle/Bundle.h"

namespace installer {

// The bundle setting that names the product to install.
inline constexpr std::string_view productIDKey = "Corvantis ID";

// The product identifier from the bundle's settings: the "Corvantis ID" value
// when it is a string (the empty string included); none when the bundle has
// no settings, lacks the key, or holds any other kind of value there.
std::optional<std::string> readProductID(const platform::Bundle& bundle);

// The manifest URL template ("https://" + host + "/%@/cv-latest-mac.json") of
// the endpoint an environment selects: "prod" exactly picks the production
// host, anything else the development host.
std::string manifestTemplate(std::string_view environment, std::string_view productionHost,
                             std::string_view developmentHost);

}  // namespace installer
