#include "installer/engine/ManifestLocation.h"

namespace installer {

std::optional<std::string> readProductID(const platform::Bundle& bundle) {
    if (!bundle.hasSettings()) {
        return std::nullopt;
    }
    return bundle.stringSetting(std::string(productIDKey));
}

std::string manifestTemplate(std::string_view environment, std::string_view productionHost,
                             std::string_view developmentHost) {
    auto host = environment == "prod" ? productionHost : developmentHost;
    return "https://" + std::string(host) + "/%@/cv-latest-mac.json";
}

}  // namespace installer
