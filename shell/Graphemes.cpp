#include "shell/Graphemes.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "shell/GraphemeBreakTable.h"

namespace shell {
namespace {

using unicode::GraphemeBreak;
using unicode::IndicConjunctBreak;

struct Properties {
    GraphemeBreak gcb = GraphemeBreak::Other;
    bool pictographic = false;
    IndicConjunctBreak conjunct = IndicConjunctBreak::None;
};

Properties unpack(std::uint8_t props) noexcept {
    return {static_cast<GraphemeBreak>(props & 0x0F), (props & 0x10) != 0,
            static_cast<IndicConjunctBreak>((props >> 5) & 0x03)};
}

Properties propertiesOf(char32_t cp) noexcept {
    if (cp < 0x80) {
        if (cp == '\r') {
            return {GraphemeBreak::CR};
        }
        if (cp == '\n') {
            return {GraphemeBreak::LF};
        }
        if (cp < 0x20 || cp == 0x7F) {
            return {GraphemeBreak::Control};
        }
        return {};
    }
    const auto& table = unicode::graphemePropertyRanges;
    auto it = std::upper_bound(std::begin(table), std::end(table), cp,
                               [](char32_t c, const auto& range) { return c < range.first; });
    if (it == std::begin(table)) {
        return {};
    }
    --it;
    return cp <= it->last ? unpack(it->props) : Properties{};
}

struct Decoded {
    char32_t cp;
    std::size_t length;
};

bool isContinuation(unsigned char b) noexcept {
    return (b & 0xC0) == 0x80;
}

// Strict UTF-8: overlong forms, surrogates and values above U+10FFFF are
// invalid, and an invalid byte stands alone as U+FFFD.
Decoded decode(std::string_view text, std::size_t pos) noexcept {
    constexpr Decoded invalid{0xFFFD, 1};
    const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + pos;
    const std::size_t available = text.size() - pos;
    const unsigned char b0 = p[0];
    if (b0 < 0x80) {
        return {b0, 1};
    }
    std::size_t length;
    char32_t cp;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (b0 < 0xC2) {
        return invalid;
    } else if (b0 < 0xE0) {
        length = 2;
        cp = b0 & 0x1F;
    } else if (b0 < 0xF0) {
        length = 3;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) {
            low = 0xA0;
        } else if (b0 == 0xED) {
            high = 0x9F;
        }
    } else if (b0 < 0xF5) {
        length = 4;
        cp = b0 & 0x07;
        if (b0 == 0xF0) {
            low = 0x90;
        } else if (b0 == 0xF4) {
            high = 0x8F;
        }
    } else {
        return invalid;
    }
    if (available < length || p[1] < low || p[1] > high) {
        return invalid;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (!isContinuation(p[i])) {
            return invalid;
        }
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    return {cp, length};
}

bool isControlLike(GraphemeBreak b) noexcept {
    return b == GraphemeBreak::CR || b == GraphemeBreak::LF || b == GraphemeBreak::Control;
}

// What the boundary rules need to know about the character so far.
class ClusterState {
  public:
    explicit ClusterState(Properties first) noexcept { take(first); }

    // Whether `next` continues the character (no boundary before it).
    bool joins(Properties next) const noexcept {
        const GraphemeBreak a = previous_;
        const GraphemeBreak b = next.gcb;
        if (a == GraphemeBreak::CR && b == GraphemeBreak::LF) {
            return true;
        }
        if (isControlLike(a) || isControlLike(b)) {
            return false;
        }
        if (a == GraphemeBreak::L && (b == GraphemeBreak::L || b == GraphemeBreak::V ||
                                      b == GraphemeBreak::LV || b == GraphemeBreak::LVT)) {
            return true;
        }
        if ((a == GraphemeBreak::LV || a == GraphemeBreak::V) &&
            (b == GraphemeBreak::V || b == GraphemeBreak::T)) {
            return true;
        }
        if ((a == GraphemeBreak::LVT || a == GraphemeBreak::T) && b == GraphemeBreak::T) {
            return true;
        }
        if (b == GraphemeBreak::Extend || b == GraphemeBreak::ZWJ ||
            b == GraphemeBreak::SpacingMark || a == GraphemeBreak::Prepend) {
            return true;
        }
        if (next.conjunct == IndicConjunctBreak::Consonant && afterConsonant_ && linked_) {
            return true;
        }
        if (a == GraphemeBreak::ZWJ && pictographicZwj_ && next.pictographic) {
            return true;
        }
        if (a == GraphemeBreak::RegionalIndicator && b == GraphemeBreak::RegionalIndicator) {
            return regionalIndicators_ % 2 == 1;
        }
        return false;
    }

    void take(Properties p) noexcept {
        pictographicZwj_ = p.gcb == GraphemeBreak::ZWJ && pictographicRun_;
        pictographicRun_ = p.pictographic || (p.gcb == GraphemeBreak::Extend && pictographicRun_);

        regionalIndicators_ =
            p.gcb == GraphemeBreak::RegionalIndicator ? regionalIndicators_ + 1 : 0;

        if (p.conjunct == IndicConjunctBreak::Consonant) {
            afterConsonant_ = true;
            linked_ = false;
        } else if (afterConsonant_ && p.conjunct == IndicConjunctBreak::Linker) {
            linked_ = true;
        } else if (!(afterConsonant_ && p.conjunct == IndicConjunctBreak::Extend)) {
            afterConsonant_ = false;
            linked_ = false;
        }
        previous_ = p.gcb;
    }

  private:
    GraphemeBreak previous_ = GraphemeBreak::Other;
    // An Extended_Pictographic followed by Extend only, up to here.
    bool pictographicRun_ = false;
    // The previous character is a ZWJ that ends such a run.
    bool pictographicZwj_ = false;
    std::size_t regionalIndicators_ = 0;
    // An Indic consonant followed by conjunct linkers and extenders only...
    bool afterConsonant_ = false;
    // ...among which at least one linker.
    bool linked_ = false;
};

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
    Decoded first = decode(text, pos);
    ClusterState state(propertiesOf(first.cp));
    std::size_t end = pos + first.length;
    while (end < text.size()) {
        const Decoded next = decode(text, end);
        const Properties p = propertiesOf(next.cp);
        if (!state.joins(p)) {
            break;
        }
        state.take(p);
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
