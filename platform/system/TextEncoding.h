#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <span>

#include "platform/system/Bytes.h"

namespace platform {

// A text encoding. Text inside the program is always UTF-8 (std::string);
// an encoding converts between that and bytes, never lossily.
class TextEncoding {
  public:
    static TextEncoding utf8();
    static TextEncoding isoLatin1();
    static TextEncoding utf16LittleEndian();
    // Any encoding iconv knows, by its iconv name; none if it is unknown.
    static std::optional<TextEncoding> named(std::string_view iconvName);

    // Bytes -> UTF-8 text; none when the bytes are not valid in this encoding.
    std::optional<std::string> decode(std::span<const std::byte> bytes) const;
    // Whether decode would succeed, without building the text.
    bool canDecode(std::span<const std::byte> bytes) const;
    // UTF-8 text -> bytes; none when a character cannot be represented
    // (or the text is not valid UTF-8).
    std::optional<Bytes> encode(std::string_view text) const;

    // The encoding's name, for messages.
    const std::string& name() const noexcept { return name_; }

    friend bool operator==(const TextEncoding&, const TextEncoding&) = default;

  private:
    explicit TextEncoding(std::string name) : name_(std::move(name)) {}
    std::string name_;
};

}  // namespace platform
