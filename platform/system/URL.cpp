#include "platform/system/URL.h"

#include <algorithm>
#include <cctype>
#include <cstddef>

namespace platform {
namespace {

// The pieces of a URL's text, as views into it:
// scheme ":" ["//" authority] path ["?" query] ["#" fragment].
struct Pieces {
    std::string_view scheme;
    bool hasAuthority = false;
    std::string_view authority;
    std::size_t pathBegin = 0;
    std::size_t pathEnd = 0;
};

bool isAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isHexDigit(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
int hexValue(char c) {
    if (isDigit(c)) {
        return c - '0';
    }
    return (c | 0x20) - 'a' + 10;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Characters that may stand unencoded in a path: unreserved, sub-delims, ":", "@" and "/".
bool isPathCharacter(unsigned char c) {
    if (isAlpha(static_cast<char>(c)) || isDigit(static_cast<char>(c))) {
        return true;
    }
    static constexpr std::string_view allowed = "-._~!$&'()*+,;=:@/";
    return allowed.find(static_cast<char>(c)) != std::string_view::npos;
}

std::string percentEncodePath(std::string_view text) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (isPathCharacter(c)) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 0x0F]);
        }
    }
    return out;
}

std::string percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && isHexDigit(text[i + 1]) &&
            isHexDigit(text[i + 2])) {
            out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// Splits text that is known to start with a valid scheme.
Pieces split(std::string_view text) {
    Pieces p;
    std::size_t colon = text.find(':');
    p.scheme = text.substr(0, colon);
    std::size_t pos = colon + 1;
    if (text.substr(pos, 2) == "//") {
        p.hasAuthority = true;
        std::size_t end = text.find_first_of("/?#", pos + 2);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        p.authority = text.substr(pos + 2, end - pos - 2);
        pos = end;
    }
    p.pathBegin = pos;
    std::size_t end = text.find_first_of("?#", pos);
    p.pathEnd = end == std::string_view::npos ? text.size() : end;
    return p;
}

// The host inside an authority: no user information, no port, no IPv6 brackets.
std::string_view hostOf(std::string_view authority) {
    if (std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1);
    }
    if (!authority.empty() && authority.front() == '[') {
        std::size_t close = authority.find(']');
        return close == std::string_view::npos ? std::string_view{}
                                               : authority.substr(1, close - 1);
    }
    return authority.substr(0, authority.find(':'));
}

// A port after the host, when present, is decimal digits.
bool hasValidPort(std::string_view authority) {
    if (std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1);
    }
    if (!authority.empty() && authority.front() == '[') {
        std::size_t close = authority.find(']');
        if (close == std::string_view::npos) {
            return false;
        }
        authority.remove_prefix(close + 1);
        if (authority.empty()) {
            return true;
        }
        if (authority.front() != ':') {
            return false;
        }
    }
    std::size_t colon = authority.find(':');
    if (colon == std::string_view::npos) {
        return true;
    }
    std::string_view port = authority.substr(colon + 1);
    return std::all_of(port.begin(), port.end(), isDigit);
}

bool isValidScheme(std::string_view scheme) {
    if (scheme.empty() || !isAlpha(scheme.front())) {
        return false;
    }
    return std::all_of(scheme.begin(), scheme.end(), [](char c) {
        return isAlpha(c) || isDigit(c) || c == '+' || c == '-' || c == '.';
    });
}

// Printable ASCII only, without the characters a URL never holds unencoded,
// and every "%" followed by two hexadecimal digits.
bool hasOnlyURLCharacters(std::string_view text) {
    static constexpr std::string_view forbidden = "\"<>\\^`{|}";
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c <= 0x20 || c >= 0x7F || forbidden.find(text[i]) != std::string_view::npos) {
            return false;
        }
        if (c == '%' &&
            (i + 2 >= text.size() || !isHexDigit(text[i + 1]) || !isHexDigit(text[i + 2]))) {
            return false;
        }
    }
    return true;
}

bool isNetworkScheme(std::string_view scheme) {
    return equalsIgnoringCase(scheme, "http") || equalsIgnoringCase(scheme, "https");
}

}  // namespace

std::optional<URL> URL::parse(std::string_view text) {
    if (!hasOnlyURLCharacters(text)) {
        return std::nullopt;
    }
    std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || !isValidScheme(text.substr(0, colon))) {
        return std::nullopt;
    }
    Pieces p = split(text);
    if (p.hasAuthority && !hasValidPort(p.authority)) {
        return std::nullopt;
    }
    if (isNetworkScheme(p.scheme) && (!p.hasAuthority || hostOf(p.authority).empty())) {
        return std::nullopt;
    }
    return URL(std::string(text));
}

URL URL::fileURL(const std::filesystem::path& path, bool isDirectory) {
    std::filesystem::path absolute =
        path.is_absolute() ? path : std::filesystem::current_path() / path;
    std::string text = "file://" + percentEncodePath(absolute.string());
    if (isDirectory && text.back() != '/') {
        text.push_back('/');
    }
    return URL(std::move(text));
}

std::string URL::scheme() const {
    return std::string(split(text_).scheme);
}

std::string URL::host() const {
    if (isFileURL()) {
        return {};
    }
    Pieces p = split(text_);
    return p.hasAuthority ? std::string(hostOf(p.authority)) : std::string{};
}

bool URL::isFileURL() const {
    return equalsIgnoringCase(split(text_).scheme, "file");
}

bool URL::hasDirectoryPath() const {
    Pieces p = split(text_);
    return p.pathEnd > p.pathBegin && text_[p.pathEnd - 1] == '/';
}

std::string URL::path() const {
    Pieces p = split(text_);
    std::string raw = text_.substr(p.pathBegin, p.pathEnd - p.pathBegin);
    while (raw.size() > 1 && raw.back() == '/') {
        raw.pop_back();
    }
    return percentDecode(raw);
}

std::string URL::lastPathComponent() const {
    std::string p = path();
    if (p == "/") {
        return p;
    }
    std::size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

URL URL::appendingPathComponent(std::string_view component, bool isDirectory) const {
    Pieces p = split(text_);
    std::string path = text_.substr(p.pathBegin, p.pathEnd - p.pathBegin);
    if (path.empty() || path.back() != '/') {
        path.push_back('/');
    }
    std::string encoded = percentEncodePath(component);
    std::size_t leadingSlashes = encoded.find_first_not_of('/');
    encoded.erase(0, leadingSlashes == std::string::npos ? encoded.size() : leadingSlashes);
    path += encoded;
    if (isDirectory && path.back() != '/') {
        path.push_back('/');
    }
    return URL(text_.substr(0, p.pathBegin) + path + text_.substr(p.pathEnd));
}

URL URL::deletingLastPathComponent() const {
    Pieces p = split(text_);
    std::string path = text_.substr(p.pathBegin, p.pathEnd - p.pathBegin);
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return *this;
    }
    path.erase(slash + 1);
    return URL(text_.substr(0, p.pathBegin) + path + text_.substr(p.pathEnd));
}

}  // namespace platform
