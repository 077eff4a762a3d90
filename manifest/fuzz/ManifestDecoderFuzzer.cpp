// Feeds arbitrary bytes to the manifest decoder. Any outcome other than a
// manifest or a DecodingError (a crash, a sanitizer report, another exception
// escaping) is a failure, and so is a decoded manifest that does not come back
// unchanged through encoding and decoding again.
//
//   cmake --preset fuzz && cmake --build --preset fuzz --target manifest_decoder_fuzzer
//   mkdir -p /tmp/manifest-corpus   # new inputs go to the first directory
//   build/fuzz/manifest/manifest_decoder_fuzzer -runs=1000000 \
//       -dict=manifest/fuzz/manifest.dict /tmp/manifest-corpus manifest/fuzz/corpus

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "manifest/UpdateManifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    manifest::UpdateManifest decoded;
    try {
        decoded = manifest::decodeManifest(
            std::span<const std::byte>(reinterpret_cast<const std::byte*>(data), size));
    } catch (const manifest::DecodingError&) {
        return 0;
    }
    const std::string encoded = manifest::encodeManifest(decoded);
    if (manifest::decodeManifest(encoded) != decoded) {
        std::fprintf(stderr, "re-encoded manifest decodes differently: %s\n", encoded.c_str());
        std::abort();
    }
    return 0;
}
