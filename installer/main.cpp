#include <cstdlib>

#include "installer/ApplicationMain.h"

int main(int argc, char** argv) {
    std::exit(installer::applicationMain(argc, argv));
}
