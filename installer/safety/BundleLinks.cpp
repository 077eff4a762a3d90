#include "installer/safety/BundleLinks.h"

#include <deque>
#include <system_error>
#include <vector>

namespace installer::safety {
namespace {

namespace fs = std::filesystem;

// As many links as the system follows in one path before giving up.
constexpr int maximumHops = 40;

enum class Resolution { inside, outside, circular };

// Follows target from the folder `at` (names below the bundle) the way the
// system would, link by link, and tells whether it stays in the bundle.
Resolution resolve(const fs::path& bundle, std::vector<fs::path> at, const fs::path& target) {
    if (target.is_absolute()) {
        return Resolution::outside;
    }
    std::deque<fs::path> pending(target.begin(), target.end());
    int hops = 0;
    while (!pending.empty()) {
        const fs::path name = pending.front();
        pending.pop_front();
        if (name.empty() || name == ".") {
            continue;
        }
        if (name == "..") {
            if (at.empty()) {
                return Resolution::outside;
            }
            at.pop_back();
            continue;
        }
        at.push_back(name);
        fs::path here = bundle;
        for (const auto& component : at) {
            here /= component;
        }
        std::error_code error;
        if (!fs::is_symlink(fs::symlink_status(here, error))) {
            continue;  // a folder, a file or nothing: the walk goes on lexically
        }
        if (++hops > maximumHops) {
            return Resolution::circular;
        }
        const fs::path next = fs::read_symlink(here, error);
        if (error || next.is_absolute()) {
            return Resolution::outside;
        }
        at.pop_back();
        pending.insert(pending.begin(), next.begin(), next.end());
    }
    return Resolution::inside;
}

class Walk {
  public:
    explicit Walk(fs::path bundle) : bundle_(std::move(bundle)) {}

    std::optional<std::string> folder(const std::vector<fs::path>& at) {
        const fs::path here = pathOf(at);
        std::error_code error;
        fs::directory_iterator entries(here, error);
        std::optional<fs::perms> closedModes;
        if (error == std::errc::permission_denied) {
            // Closed by the archive: open it for the look, then close it again.
            closedModes = fs::symlink_status(here, error).permissions();
            fs::permissions(here, fs::perms::owner_read | fs::perms::owner_exec,
                            fs::perm_options::add | fs::perm_options::nofollow, error);
            entries = error ? fs::directory_iterator() : fs::directory_iterator(here, error);
        }
        std::optional<std::string> refusal;
        if (error) {
            refusal = named() + " could not be checked: " + here.string() + ": " + error.message();
        }
        std::vector<fs::path> children;
        for (; !refusal && entries != fs::directory_iterator(); entries.increment(error)) {
            children.push_back(entries->path().filename());
        }
        if (error && !refusal) {
            refusal = named() + " could not be checked: " + here.string() + ": " + error.message();
        }
        for (const auto& name : children) {
            if (refusal) {
                break;
            }
            std::vector<fs::path> child = at;
            child.push_back(name);
            refusal = item(child);
        }
        if (closedModes) {
            fs::permissions(here, *closedModes,
                            fs::perm_options::replace | fs::perm_options::nofollow, error);
        }
        return refusal;
    }

    std::optional<std::string> item(const std::vector<fs::path>& at) {
        const fs::path here = pathOf(at);
        std::error_code error;
        const auto status = fs::symlink_status(here, error);
        if (fs::is_directory(status)) {
            return folder(at);
        }
        if (!fs::is_symlink(status)) {
            return std::nullopt;
        }
        const fs::path target = fs::read_symlink(here, error);
        const std::vector<fs::path> linkFolder(at.begin(), at.end() - 1);
        switch (error ? Resolution::outside : resolve(bundle_, linkFolder, target)) {
            case Resolution::inside:
                return std::nullopt;
            case Resolution::outside:
                return named() + " holds a link \"" + relative(at).string() + "\" to \"" +
                       target.string() + "\", which points outside it; it was not installed.";
            case Resolution::circular:
                return named() + " holds a link \"" + relative(at).string() + "\" to \"" +
                       target.string() + "\" that leads round in circles; it was not installed.";
        }
        return std::nullopt;
    }

  private:
    std::string named() const { return "The application \"" + bundle_.filename().string() + "\""; }
    fs::path relative(const std::vector<fs::path>& at) const {
        fs::path result;
        for (const auto& component : at) {
            result /= component;
        }
        return result;
    }
    fs::path pathOf(const std::vector<fs::path>& at) const { return bundle_ / relative(at); }

    fs::path bundle_;
};

}  // namespace

std::optional<std::string> checkUnpackedBundle(const fs::path& bundle) {
    fs::path root = bundle.lexically_normal();
    if (!root.has_filename() && root.has_relative_path()) {
        root = root.parent_path();
    }
    std::error_code error;
    const auto status = fs::symlink_status(root, error);
    if (fs::is_symlink(status)) {
        return "The application \"" + root.filename().string() + "\" is a link to \"" +
               fs::read_symlink(root, error).string() + "\", not a folder; it was not installed.";
    }
    if (!fs::is_directory(status)) {
        return std::nullopt;
    }
    return Walk(root).folder({});
}

}  // namespace installer::safety
