// Checks one unpacked bundle and prints the refusal, or "ok", so the tests
// can run the check in a process that obeys permission bits:
//   bundle-check-probe BUNDLE

#include <cstdio>

#include "installer/safety/BundleLinks.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: bundle-check-probe BUNDLE\n", stderr);
        return 2;
    }
    auto refusal = installer::safety::checkUnpackedBundle(argv[1]);
    std::printf("%s\n", refusal ? refusal->c_str() : "ok");
    return refusal ? 1 : 0;
}
