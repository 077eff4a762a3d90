#include "platform/system/FileURLText.h"

#include <string_view>

namespace platform {
namespace {

bool staysUnencoded(unsigned char c) {
    static constexpr std::string_view marks = "-._~!$&'()*+,;=:@/";
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           marks.find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

std::string fileURLText(const std::filesystem::path& path, bool isDirectory) {
    static constexpr char digits[] = "0123456789ABCDEF";
    const auto absolute = std::filesystem::absolute(path).string();
    std::string text = "file://";
    for (char ch : absolute) {
        const auto c = static_cast<unsigned char>(ch);
        if (staysUnencoded(c)) {
            text += ch;
        } else {
            text += '%';
            text += digits[c >> 4];
            text += digits[c & 0x0F];
        }
    }
    if (isDirectory && !text.ends_with('/')) {
        text += '/';
    }
    return text;
}

}  // namespace platform
