#include "installer/engine/DownloadProgress.h"

namespace installer {

double downloadProgressValue(double fraction) {
    return 3 + 90 * fraction;
}

}  // namespace installer
