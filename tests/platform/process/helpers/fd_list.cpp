// Prints the descriptors this process was started with, one per line.
#include <dirent.h>

#include <cstdio>
#include <cstdlib>

int main() {
    DIR* directory = opendir("/proc/self/fd");
    if (directory == nullptr) {
        return 1;
    }
    int own = dirfd(directory);
    while (dirent* entry = readdir(directory)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        if (std::atoi(entry->d_name) != own) {
            std::printf("%s\n", entry->d_name);
        }
    }
    closedir(directory);
    return 0;
}
