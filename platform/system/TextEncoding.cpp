#include "platform/system/TextEncoding.h"

#include <iconv.h>
#include <utf8proc.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace platform {

namespace {

constexpr std::string_view utf8Name = "UTF-8";

// Strict UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
// Runs of ASCII, the common case for command output, are skipped 16 bytes at
// a time; each other sequence is checked by the Unicode library.
bool isValidUTF8(const unsigned char* bytes, std::size_t size) {
    constexpr std::uint64_t highBits = 0x8080808080808080ULL;
    std::size_t i = 0;
    while (i < size) {
        while (i + 16 <= size) {
            std::uint64_t first;
            std::uint64_t second;
            std::memcpy(&first, bytes + i, 8);
            std::memcpy(&second, bytes + i + 8, 8);
            if ((first | second) & highBits)
                break;
            i += 16;
        }
        if (i >= size)
            break;
        if (bytes[i] < 0x80) {
            ++i;
            continue;
        }
        utf8proc_int32_t codePoint = 0;
        const auto length =
            utf8proc_iterate(bytes + i, static_cast<utf8proc_ssize_t>(size - i), &codePoint);
        if (length <= 0)
            return false;
        i += static_cast<std::size_t>(length);
    }
    return true;
}

// Converts with glibc iconv; fails on any byte sequence or character that the
// conversion cannot carry over exactly.
std::optional<std::string> convert(const std::string& to, const std::string& from,
                                   std::span<const std::byte> input) {
    iconv_t descriptor = ::iconv_open(to.c_str(), from.c_str());
    if (descriptor == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    std::string output(input.size() * 2 + 16, '\0');
    char* in = const_cast<char*>(reinterpret_cast<const char*>(input.data()));
    std::size_t inLeft = input.size();
    std::size_t used = 0;
    bool ok = true;
    bool flushing = false;
    for (;;) {
        char* out = output.data() + used;
        std::size_t outLeft = output.size() - used;
        const std::size_t result = flushing ? ::iconv(descriptor, nullptr, nullptr, &out, &outLeft)
                                            : ::iconv(descriptor, &in, &inLeft, &out, &outLeft);
        used = output.size() - outLeft;
        if (result != static_cast<std::size_t>(-1)) {
            // glibc counts characters it replaced as irreversible; refuse them.
            if (result != 0) {
                ok = false;
                break;
            }
            if (flushing)
                break;
            flushing = true;  // write any closing shift sequence
            continue;
        }
        if (errno == E2BIG) {
            output.resize(output.size() * 2);
            continue;
        }
        ok = false;  // EILSEQ or EINVAL: invalid or incomplete input
        break;
    }
    ::iconv_close(descriptor);
    if (!ok)
        return std::nullopt;
    output.resize(used);
    return output;
}

std::string upper(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return result;
}

}  // namespace

TextEncoding TextEncoding::utf8() {
    return TextEncoding(std::string(utf8Name));
}
TextEncoding TextEncoding::isoLatin1() {
    return TextEncoding("ISO-8859-1");
}
TextEncoding TextEncoding::utf16LittleEndian() {
    return TextEncoding("UTF-16LE");
}

std::optional<TextEncoding> TextEncoding::named(std::string_view iconvName) {
    std::string name = upper(iconvName);
    if (name == "UTF8")
        name = utf8Name;
    if (name.empty())
        return std::nullopt;
    for (const auto& [to, from] :
         {std::pair{name, std::string(utf8Name)}, {std::string(utf8Name), name}}) {
        iconv_t descriptor = ::iconv_open(to.c_str(), from.c_str());
        if (descriptor == reinterpret_cast<iconv_t>(-1))
            return std::nullopt;
        ::iconv_close(descriptor);
    }
    return TextEncoding(std::move(name));
}

std::optional<std::string> TextEncoding::decode(std::span<const std::byte> bytes) const {
    if (name_ == utf8Name) {
        const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
        if (!isValidUTF8(data, bytes.size()))
            return std::nullopt;
        return std::string(reinterpret_cast<const char*>(data), bytes.size());
    }
    return convert(std::string(utf8Name), name_, bytes);
}

bool TextEncoding::canDecode(std::span<const std::byte> bytes) const {
    if (name_ == utf8Name) {
        return isValidUTF8(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    }
    return convert(std::string(utf8Name), name_, bytes).has_value();
}

std::optional<Bytes> TextEncoding::encode(std::string_view text) const {
    const auto* data = reinterpret_cast<const unsigned char*>(text.data());
    // Text is UTF-8 inside the program; anything else is not text.
    if (!isValidUTF8(data, text.size()))
        return std::nullopt;
    const auto* first = reinterpret_cast<const std::byte*>(text.data());
    if (name_ == utf8Name)
        return Bytes(first, first + text.size());
    auto converted = convert(name_, std::string(utf8Name), std::span(first, text.size()));
    if (!converted)
        return std::nullopt;
    const auto* out = reinterpret_cast<const std::byte*>(converted->data());
    return Bytes(out, out + converted->size());
}

}  // namespace platform
