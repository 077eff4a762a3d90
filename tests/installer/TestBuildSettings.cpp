// Build settings for the test programs that link the installer code directly.
#include "installer/BuildSettings.h"

namespace installer {

const std::string_view buildEnvironment = "prod";
const std::string_view productionHost = "downloads.test:8443";
const std::string_view developmentHost = "dev.test";

}  // namespace installer
