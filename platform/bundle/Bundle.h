#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace platform {

// An application bundle: NAME.app/Contents/{Info.plist,MacOS/,Resources/}.
class Bundle {
  public:
    // The bundle holding the running executable (found from /proc/self/exe:
    // .../NAME.app/Contents/MacOS/<exe>). When the executable does not sit in
    // a bundle, a bundle without settings or resources.
    static const Bundle& main();
    // A bundle at a given path; its Info.plist is read (XML or binary) now.
    static Bundle at(const std::filesystem::path& path);

    const std::filesystem::path& path() const noexcept { return path_; }
    // True when Info.plist was read and holds a dictionary with entries.
    bool hasSettings() const noexcept { return infoEntries_ > 0; }
    // The value for key when it is present and a string; none otherwise
    // (absent key, or a number, boolean, date, data, array or dictionary).
    std::optional<std::string> stringSetting(const std::string& key) const;
    // Whether the key is present, whatever its value's type.
    bool hasSetting(const std::string& key) const;
    // Contents/Resources/<name>.<extension> when it exists.
    std::optional<std::filesystem::path> resource(const std::string& name,
                                                  const std::string& extension) const;

  private:
    struct Info;
    std::filesystem::path path_;
    std::size_t infoEntries_ = 0;
    std::shared_ptr<const Info> info_;
};

}  // namespace platform
