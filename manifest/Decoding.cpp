// Decoding follows the platform JSON decoder's rules for these records:
// required members must be present, non-null and of their type; optional
// members may be missing or null; unknown keys are ignored; keys match
// exactly. Every failure names the key path, and nothing partial escapes.

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

#include "manifest/UpdateManifest.h"

namespace manifest {
namespace {

using nlohmann::json;

std::string kindOf(const json& value) {
    switch (value.type()) {
        case json::value_t::null:
            return "null";
        case json::value_t::boolean:
            return "a boolean";
        case json::value_t::number_integer:
        case json::value_t::number_unsigned:
        case json::value_t::number_float:
            return "a number";
        case json::value_t::string:
            return "a string";
        case json::value_t::array:
            return "an array";
        case json::value_t::object:
            return "an object";
        default:
            return "not a JSON value";
    }
}

std::string pathTo(const std::string& parent, const char* key) {
    return parent.empty() ? key : parent + "." + key;
}

[[noreturn]] void wrongKind(const std::string& path, const json& value, const char* expected) {
    throw DecodingError("The value at \"" + path + "\" is " + kindOf(value) + ", not " + expected +
                        ".");
}

// The member, or nullptr when the key is missing.
const json* member(const json& object, const char* key) {
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

const json& requiredMember(const json& object, const std::string& parent, const char* key) {
    const json* value = member(object, key);
    if (value == nullptr) {
        throw DecodingError("The key \"" + pathTo(parent, key) + "\" is missing.");
    }
    return *value;
}

std::string requiredString(const json& object, const std::string& parent, const char* key) {
    const json& value = requiredMember(object, parent, key);
    if (!value.is_string()) {
        wrongKind(pathTo(parent, key), value, "a string");
    }
    return value.get<std::string>();
}

// Missing and null are both absent.
const json* optionalMember(const json& object, const char* key) {
    const json* value = member(object, key);
    return value == nullptr || value->is_null() ? nullptr : value;
}

std::optional<std::string> optionalString(const json& object, const std::string& parent,
                                          const char* key) {
    const json* value = optionalMember(object, key);
    if (value == nullptr) {
        return std::nullopt;
    }
    if (!value->is_string()) {
        wrongKind(pathTo(parent, key), *value, "a string");
    }
    return value->get<std::string>();
}

template <class Decode>
auto optionalObject(const json& object, const std::string& parent, const char* key, Decode decode)
    -> std::optional<decltype(decode(object, parent))> {
    const json* value = optionalMember(object, key);
    if (value == nullptr) {
        return std::nullopt;
    }
    const std::string path = pathTo(parent, key);
    if (!value->is_object()) {
        wrongKind(path, *value, "an object");
    }
    return decode(*value, path);
}

Artifact decodeArtifact(const json& object, const std::string& path) {
    return {optionalString(object, path, "path"), optionalString(object, path, "url"),
            optionalString(object, path, "sha512"), optionalString(object, path, "signature")};
}

Artifacts decodeArtifacts(const json& object, const std::string& path) {
    return {optionalObject(object, path, "ia32", decodeArtifact),
            optionalObject(object, path, "x64", decodeArtifact),
            optionalObject(object, path, "arm64", decodeArtifact)};
}

MacArtifacts decodeMacArtifacts(const json& object, const std::string& path) {
    return {optionalObject(object, path, "dmg", decodeArtifacts),
            optionalObject(object, path, "zip", decodeArtifacts)};
}

// The parser's message quotes the input it stopped at, which may be any
// bytes; keep the description printable ASCII.
std::string printable(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

json parse(const char* first, const char* last) {
    try {
        return json::parse(first, last);
    } catch (const json::exception& e) {
        std::string reason = e.what();
        // Drop the library's "[json.exception.parse_error.101] " tag.
        if (!reason.empty() && reason.front() == '[') {
            const auto end = reason.find("] ");
            if (end != std::string::npos) {
                reason.erase(0, end + 2);
            }
        }
        throw DecodingError("The data is not valid JSON: " + printable(reason));
    }
}

}  // namespace

UpdateManifest decodeManifest(std::string_view body) {
    const json root = parse(body.data(), body.data() + body.size());
    if (!root.is_object()) {
        throw DecodingError("The top-level value is " + kindOf(root) + ", not an object.");
    }
    const json& artifacts = requiredMember(root, "", "artifacts");
    if (!artifacts.is_object()) {
        wrongKind("artifacts", artifacts, "an object");
    }
    UpdateManifest manifest;
    manifest.artifacts = decodeMacArtifacts(artifacts, "artifacts");
    manifest.createdAt = requiredString(root, "", "createdAt");
    manifest.version = requiredString(root, "", "version");
    return manifest;
}

UpdateManifest decodeManifest(std::span<const std::byte> body) {
    return decodeManifest(
        std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
}

}  // namespace manifest
