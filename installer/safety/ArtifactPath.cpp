#include "installer/safety/ArtifactPath.h"

namespace installer::safety {
namespace {

namespace fs = std::filesystem;

std::string shown(const std::string& path) {
    std::string text;
    for (char c : path) {
        text += c == '\0' ? std::string("\\0") : std::string(1, c);
    }
    return text;
}

std::optional<std::string> reasonToRefuse(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        return "contains a NUL character";
    }
    if (path.empty()) {
        return "is empty";
    }
    const fs::path relative(path);
    if (relative.has_root_path()) {
        return "is absolute";
    }
    for (const auto& component : relative) {
        if (component == "..") {
            return "contains a \"..\" component";
        }
    }
    const fs::path normal = relative.lexically_normal();
    if (normal.empty() || normal == ".") {
        return "names the working directory itself";
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> checkArtifactPath(const fs::path& workingDirectory,
                                             const std::string& path) {
    auto reason = reasonToRefuse(path);
    if (!reason) {
        // What is left stays below the working directory by construction;
        // say so once more on the joined path, so a later change to the rules
        // above cannot let one through.
        const fs::path base = (workingDirectory / "").lexically_normal();
        const fs::path joined = (workingDirectory / path).lexically_normal();
        const fs::path inside = joined.lexically_relative(base);
        if (!inside.empty() && *inside.begin() != ".." && inside != ".") {
            return std::nullopt;
        }
        reason = "resolves outside the working directory";
    }
    return "The path \"" + shown(path) + "\" in the manifest " + *reason +
           "; a build's path must name a file inside the working directory " +
           workingDirectory.string() + ".";
}

}  // namespace installer::safety
