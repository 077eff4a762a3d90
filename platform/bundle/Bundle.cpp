#include "platform/bundle/Bundle.h"

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <system_error>
#include <vector>

namespace platform {

// The string-valued settings, and the keys of every setting.
struct Bundle::Info {
    std::map<std::string, std::string> strings;
    std::set<std::string> keys;
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

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPointer = std::unique_ptr<void, PlistDeleter>;

// libplist hands out keys, strings and iterators from malloc.
struct MallocDeleter {
    void operator()(void* memory) const { std::free(memory); }
};
template <typename T>
using MallocPointer = std::unique_ptr<T, MallocDeleter>;

// XML or binary; none for anything else.
PlistPointer parsePropertyList(const std::vector<char>& bytes) {
    if (bytes.empty() || bytes.size() > UINT32_MAX) {
        return nullptr;
    }
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    return PlistPointer(root);
}

// Calls visit(key, node) for each entry of a dictionary.
template <typename Visit>
void forEachEntry(plist_t dictionary, Visit visit) {
    plist_dict_iter raw = nullptr;
    plist_dict_new_iter(dictionary, &raw);
    MallocPointer<void> iterator(raw);
    for (;;) {
        char* rawKey = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dictionary, raw, &rawKey, &value);
        MallocPointer<char> key(rawKey);
        if (value == nullptr) {
            return;
        }
        visit(std::string(key ? key.get() : ""), value);
    }
}

std::string stringValue(plist_t node) {
    char* raw = nullptr;
    plist_get_string_val(node, &raw);
    MallocPointer<char> text(raw);
    return text ? std::string(text.get()) : std::string();
}

}  // namespace

Bundle Bundle::at(const std::filesystem::path& path) {
    Bundle bundle;
    bundle.path_ = path;
    auto info = std::make_shared<Info>();
    PlistPointer root = parsePropertyList(readFile(path / "Contents" / "Info.plist"));
    if (root && plist_get_node_type(root.get()) == PLIST_DICT) {
        forEachEntry(root.get(), [&](std::string key, plist_t value) {
            ++bundle.infoEntries_;
            if (plist_get_node_type(value) == PLIST_STRING) {
                info->strings[key] = stringValue(value);
            }
            info->keys.insert(std::move(key));
        });
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
            return at(contents.parent_path());
        }
        // Not in a bundle: the executable's folder, with nothing in it to read.
        Bundle loose;
        loose.path_ = macOS;
        return loose;
    }();
    return bundle;
}

std::optional<std::string> Bundle::stringSetting(const std::string& key) const {
    if (!info_) {
        return std::nullopt;
    }
    auto found = info_->strings.find(key);
    if (found == info_->strings.end()) {
        return std::nullopt;
    }
    return found->second;
}

bool Bundle::hasSetting(const std::string& key) const {
    return info_ && info_->keys.contains(key);
}

std::optional<std::filesystem::path> Bundle::resource(const std::string& name,
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
