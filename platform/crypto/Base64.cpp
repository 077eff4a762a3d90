#include "platform/crypto/Base64.h"

#include <array>
#include <cstdint>

namespace platform {
namespace {

constexpr std::string_view alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::int8_t notInAlphabet = -1;

constexpr std::array<std::int8_t, 256> makeSextets() {
    std::array<std::int8_t, 256> sextets{};
    sextets.fill(notInAlphabet);
    for (std::size_t i = 0; i < alphabet.size(); ++i) {
        sextets[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
    }
    return sextets;
}
constexpr std::array<std::int8_t, 256> sextets = makeSextets();

}  // namespace

std::string encodeBase64(std::span<const std::byte> bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const auto group = std::to_integer<std::uint32_t>(bytes[i]) << 16 |
                           std::to_integer<std::uint32_t>(bytes[i + 1]) << 8 |
                           std::to_integer<std::uint32_t>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) {
            text += alphabet[group >> shift & 0x3F];
        }
    }
    const std::size_t left = bytes.size() - i;
    if (left > 0) {
        std::uint32_t group = std::to_integer<std::uint32_t>(bytes[i]) << 16;
        if (left == 2) {
            group |= std::to_integer<std::uint32_t>(bytes[i + 1]) << 8;
        }
        text += alphabet[group >> 18 & 0x3F];
        text += alphabet[group >> 12 & 0x3F];
        text += left == 2 ? alphabet[group >> 6 & 0x3F] : '=';
        text += '=';
    }
    return text;
}

std::optional<std::vector<std::byte>> decodeBase64(std::string_view text) {
    if (text.size() % 4 == 0 && !text.empty()) {
        // Padding, when there is any, completes the last group of four.
        const std::size_t padding = text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
        text.remove_suffix(padding);
    }
    // One character left over carries fewer than 8 bits: no byte ends there.
    if (text.size() % 4 == 1) {
        return std::nullopt;
    }
    std::vector<std::byte> bytes;
    bytes.reserve(text.size() / 4 * 3 + 2);
    std::uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
        const std::int8_t sextet = sextets[static_cast<unsigned char>(c)];
        if (sextet == notInAlphabet) {
            return std::nullopt;
        }
        bits = bits << 6 | static_cast<std::uint32_t>(sextet);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes.push_back(static_cast<std::byte>(bits >> count & 0xFF));
        }
    }
    // The bits below the last whole byte must be zero.
    if ((bits & ((1u << count) - 1)) != 0) {
        return std::nullopt;
    }
    return bytes;
}

}  // namespace platform
