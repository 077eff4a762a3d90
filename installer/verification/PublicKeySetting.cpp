#include "installer/verification/PublicKeySetting.h"

namespace installer {

PublicKeySetting PublicKeySetting::read(const platform::Bundle& bundle) {
    const std::string key(publicKeySettingKey);
    if (auto value = bundle.stringForInfoDictionaryKey(key)) {
        return ofString(std::move(*value));
    }
    return bundle.hasInfoDictionaryKey(key) ? notAString() : absent();
}

}  // namespace installer
