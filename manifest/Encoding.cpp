#include <nlohmann/json.hpp>

#include "manifest/UpdateManifest.h"

namespace manifest {
namespace {

using nlohmann::json;

void putString(json& object, const char* key, const std::optional<std::string>& value) {
    if (value) {
        object[key] = *value;
    }
}

template <class T, class Encode>
void putObject(json& object, const char* key, const std::optional<T>& value, Encode encode) {
    if (value) {
        object[key] = encode(*value);
    }
}

json encodeArtifact(const Artifact& artifact) {
    json object = json::object();
    putString(object, "path", artifact.path);
    putString(object, "url", artifact.url);
    putString(object, "sha512", artifact.sha512);
    putString(object, "signature", artifact.signature);
    return object;
}

json encodeArtifacts(const Artifacts& artifacts) {
    json object = json::object();
    putObject(object, "ia32", artifacts.ia32, encodeArtifact);
    putObject(object, "x64", artifacts.x64, encodeArtifact);
    putObject(object, "arm64", artifacts.arm64, encodeArtifact);
    return object;
}

json encodeMacArtifacts(const MacArtifacts& artifacts) {
    json object = json::object();
    putObject(object, "dmg", artifacts.dmg, encodeArtifacts);
    putObject(object, "zip", artifacts.zip, encodeArtifacts);
    return object;
}

}  // namespace

std::string encodeManifest(const UpdateManifest& manifest) {
    json root = json::object();
    root["artifacts"] = encodeMacArtifacts(manifest.artifacts);
    root["createdAt"] = manifest.createdAt;
    root["version"] = manifest.version;
    // JSON text is UTF-8: bytes of a string that are not valid UTF-8 are
    // written as U+FFFD rather than failing.
    return root.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace manifest
