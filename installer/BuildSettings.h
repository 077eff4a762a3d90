#pragma once

#include <string_view>

// Settings fixed when an installer bundle is built; each bundle's generated
// source defines them (see corvantis_add_installer_bundle).
namespace installer {

// "prod" selects the production endpoint; any other value the development one.
extern const std::string_view buildEnvironment;
// Host, optionally with ":port", of each download endpoint.
extern const std::string_view productionHost;
extern const std::string_view developmentHost;

}  // namespace installer
