#include "installer/ManifestLocation.h"

#include "installer/BuildSettings.h"
#include "installer/Format.h"

namespace installer {

std::optional<std::string> readProductID(const platform::Bundle& bundle) {
    if (!bundle.hasInfoDictionary()) {
        return std::nullopt;
    }
    return bundle.stringForInfoDictionaryKey(std::string(productIDKey));
}

std::string manifestTemplate(std::string_view environment, std::string_view productionHost,
                             std::string_view developmentHost) {
    auto host = environment == "prod" ? productionHost : developmentHost;
    return "https://" + std::string(host) + "/%@/cv-latest-mac.json";
}

std::string manifestURLText(std::string_view productID) {
    return format(manifestTemplate(buildEnvironment, productionHost, developmentHost), {productID});
}

}  // namespace installer
