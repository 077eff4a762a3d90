#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "shell/Shell.h"
#include "tests/platform/process/ProcessTestSupport.h"

namespace command_test {

using process_test::text;

// Arguments that make python3 write the same number of bytes to standard
// output and standard error, alternating chunk by chunk, so a reader that
// drains only one of the pipes makes it wait for ever. Output byte i is
// 'a' + i % 26, error byte i is 'A' + i % 26.
inline shell::ArgumentList bothOutputs(std::size_t size, std::size_t chunk) {
    return {"-c",
            "import sys\n"
            "size, chunk = int(sys.argv[1]), int(sys.argv[2])\n"
            "out = bytes(range(97, 123)) * (size // 26 + 1)\n"
            "pairs = ((sys.stdout, out), (sys.stderr, out.upper()))\n"
            "for at in range(0, size, chunk):\n"
            "    for stream, data in pairs:\n"
            "        stream.buffer.write(data[at:min(at + chunk, size)])\n"
            "        stream.buffer.flush()\n",
            size, chunk};
}

// Byte i is first + i % 26, as bothOutputs writes them.
inline platform::Bytes pattern(std::size_t size, char first) {
    platform::Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::byte>(first + i % 26);
    }
    return bytes;
}

// An executable script at path.
inline void writeScript(const std::filesystem::path& path, const std::string& body) {
    std::ofstream(path) << "#!/bin/bash\n" << body << "\n";
    ::chmod(path.c_str(), 0755);
}

}  // namespace command_test
