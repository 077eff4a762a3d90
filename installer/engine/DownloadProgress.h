#pragma once

namespace installer {

// Where the progress bar stands for a download fraction (0.0 to 1.0): the
// download covers 3 to 93 on the window's 0 to 100 scale.
double downloadProgressValue(double fraction);

}  // namespace installer
