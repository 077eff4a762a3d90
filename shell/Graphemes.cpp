#include "shell/Graphemes.h"

#include <utf8proc.h>

#include <cstring>

namespace shell {
namespace {

struct Decoded {
    utf8proc_int32_t codePoint;
    std::size_t length;
};

// A byte that does not start a well-formed sequence (overlong forms,
// surrogates and values above U+10FFFF included) stands alone as U+FFFD.
Decoded decode(std::string_view text, std::size_t pos) noexcept {
    utf8proc_int32_t codePoint = 0;
    const auto length =
        utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data()) + pos,
                         static_cast<utf8proc_ssize_t>(text.size() - pos), &codePoint);
    if (length <= 0) {
        return {0xFFFD, 1};
    }
    return {codePoint, static_cast<std::size_t>(length)};
}

}  // namespace

std::size_t nextGraphemeBoundary(std::string_view text, std::size_t pos) noexcept {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char b0 = byte(pos);
    // ASCII shortcuts: a control or CR never joins what follows (except CR
    // LF), and ASCII followed by ASCII is always a boundary.
    if (b0 < 0x80) {
        const bool last = pos + 1 == text.size();
        if (b0 == '\r') {
            return !last && byte(pos + 1) == '\n' ? pos + 2 : pos + 1;
        }
        if (last || b0 < 0x20 || b0 == 0x7F || byte(pos + 1) < 0x80) {
            return pos + 1;
        }
    }
    Decoded previous = decode(text, pos);
    // The break rules that look further back than one code point (emoji
    // sequences, pairs of regional indicators) keep what they need here; a
    // cluster boundary is a fresh start.
    utf8proc_int32_t state = 0;
    std::size_t end = pos + previous.length;
    while (end < text.size()) {
        const Decoded next = decode(text, end);
        if (utf8proc_grapheme_break_stateful(previous.codePoint, next.codePoint, &state)) {
            break;
        }
        previous = next;
        end += next.length;
    }
    return end;
}

bool isSingleGrapheme(std::string_view text) noexcept {
    return !text.empty() && nextGraphemeBoundary(text, 0) == text.size();
}

namespace {

// `c` is an ASCII control byte: it is a character of its own wherever it
// stands, apart from CR LF, which is one character.
std::size_t findControl(std::string_view text, unsigned char c) noexcept {
    const char* const data = text.data();
    const std::size_t size = text.size();
    std::size_t from = 0;
    while (from < size) {
        const void* hit = std::memchr(data + from, c, size - from);
        if (hit == nullptr) {
            return std::string_view::npos;
        }
        const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - data);
        const bool joined = c == '\n'   ? at > 0 && data[at - 1] == '\r'
                            : c == '\r' ? at + 1 < size && data[at + 1] == '\n'
                                        : false;
        if (!joined) {
            return at;
        }
        from = at + 1;
    }
    return std::string_view::npos;
}

}  // namespace

std::size_t findGrapheme(std::string_view text, std::string_view character) noexcept {
    if (character.size() == 1) {
        const auto c = static_cast<unsigned char>(character[0]);
        if (c < 0x20 || c == 0x7F) {
            return findControl(text, c);
        }
    }
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t end = nextGraphemeBoundary(text, pos);
        if (text.substr(pos, end - pos) == character) {
            return pos;
        }
        pos = end;
    }
    return std::string_view::npos;
}

}  // namespace shell
