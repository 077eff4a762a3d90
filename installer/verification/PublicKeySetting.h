#pragma once

#include <string>
#include <string_view>

#include "platform/bundle/Bundle.h"

namespace installer {

// The bundle setting holding the publisher's Ed25519 public key, base64.
inline constexpr std::string_view publicKeySettingKey = "Corvantis Public Key";

// The public key setting as a bundle holds it. Only a string can be a key;
// a value of another type is kept apart from no value, because a bundle
// that means to check builds must not pass for one that does not.
struct PublicKeySetting {
    enum class Kind { absent, string, notAString };
    Kind kind = Kind::absent;
    std::string text;  // the value, when it is a string

    static PublicKeySetting absent() { return {}; }
    static PublicKeySetting ofString(std::string value) { return {Kind::string, std::move(value)}; }
    static PublicKeySetting notAString() { return {Kind::notAString, {}}; }
    static PublicKeySetting read(const platform::Bundle& bundle);
};

}  // namespace installer
