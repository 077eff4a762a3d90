#include "installer/verification/PublicKeySetting.h"

namespace installer {

PublicKeySetting PublicKeySetting::read(const platform::Bundle& bundle) {
    const std::string key(publicKeySettingKey);
    if (auto value = bundle.stringSetting(key)) {
        return ofString(std::move(*value));
    }
    return bundle.hasSetting(key) ? notAString() : absent();
}

}  // namespace installer
