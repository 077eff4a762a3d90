#include "platform/bundle/Bundle.h"

#include <plist/plist++.h>

#include <fstream>
#include <iterator>
#include <map>
#include <system_error>
#include <vector>

namespace platform {

// The string-valued settings; other value types only count as entries.
struct Bundle::Info {
    std::map<std::string, std::string> strings;
};

namespace {

namespace fs = std::filesystem;

std::vector<char> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {};
    }
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::unique_ptr<PList::Structure> parsePropertyList(const std::vector<char>& bytes) {
    static constexpr std::string_view binaryMagic = "bplist00";
    if (bytes.empty()) {
        return nullptr;
    }
    if (bytes.size() >= binaryMagic.size() &&
        std::string_view(bytes.data(), binaryMagic.size()) == binaryMagic) {
        return std::unique_ptr<PList::Structure>(PList::Structure::FromBin(bytes));
    }
    return std::unique_ptr<PList::Structure>(
        PList::Structure::FromXml(std::string(bytes.begin(), bytes.end())));
}

}  // namespace

Bundle Bundle::atPath(const std::filesystem::path& bundlePath) {
    Bundle bundle;
    bundle.path_ = bundlePath;
    auto info = std::make_shared<Info>();
    std::unique_ptr<PList::Structure> root =
        parsePropertyList(readFile(bundlePath / "Contents" / "Info.plist"));
    if (auto* dictionary = dynamic_cast<PList::Dictionary*>(root.get())) {
        for (auto entry = dictionary->Begin(); entry != dictionary->End(); ++entry) {
            ++bundle.infoEntries_;
            if (entry->second->GetType() == PLIST_STRING) {
                info->strings[entry->first] =
                    static_cast<const PList::String*>(entry->second)->GetValue();
            }
        }
    }
    bundle.info_ = std::move(info);
    return bundle;
}

const Bundle& Bundle::main() {
    static const Bundle bundle = [] {
        std::error_code error;
        fs::path executable = fs::read_symlink("/proc/self/exe", error);
        fs::path macOS = executable.parent_path();
        fs::path contents = macOS.parent_path();
        if (!error && macOS.filename() == "MacOS" && contents.filename() == "Contents") {
            return atPath(contents.parent_path());
        }
        // Not in a bundle: the executable's folder, with nothing in it to read.
        Bundle loose;
        loose.path_ = macOS;
        return loose;
    }();
    return bundle;
}

std::optional<std::string> Bundle::stringForInfoDictionaryKey(const std::string& key) const {
    if (!info_) {
        return std::nullopt;
    }
    auto found = info_->strings.find(key);
    if (found == info_->strings.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::optional<std::filesystem::path> Bundle::pathForResource(const std::string& name,
                                                             const std::string& extension) const {
    if (!info_) {
        return std::nullopt;
    }
    std::string file = name;
    std::string_view suffix = extension;
    if (!suffix.empty() && suffix.front() == '.') {
        suffix.remove_prefix(1);
    }
    if (!suffix.empty()) {
        file += ".";
        file += suffix;
    }
    fs::path path = path_ / "Contents" / "Resources" / file;
    std::error_code error;
    if (!fs::exists(path, error)) {
        return std::nullopt;
    }
    return path;
}

}  // namespace platform
