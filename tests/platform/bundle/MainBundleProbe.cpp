// Prints what Bundle::main() finds for this executable, one fact per line, so
// a test can copy the program into a bundle and compare.
#include <iostream>

#include "platform/bundle/Bundle.h"

int main() {
    const platform::Bundle& bundle = platform::Bundle::main();
    std::cout << bundle.path().string() << '\n'
              << (bundle.hasSettings() ? "settings" : "no settings") << '\n'
              << bundle.stringSetting("Corvantis ID").value_or("<none>") << '\n'
              << bundle.resource("Icon", "icns").value_or("<none>").string() << '\n';
}
