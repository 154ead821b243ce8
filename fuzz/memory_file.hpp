// For fuzz targets whose code under test reads a file by path: one memory file per
// process, rewritten with each input and opened through /proc/self/fd, so every run
// goes through the real open-and-read path without touching the disk.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// The path of the memory file now holding exactly [data, data + size).
inline std::string memory_file_with(const uint8_t* data, size_t size)
{
    static const int fd = [] {
        int f = memfd_create("fuzz-input", MFD_CLOEXEC);
        if (f < 0) {
            std::perror("memfd_create");
            std::abort();
        }
        return f;
    }();
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
        std::perror("memory file");
        std::abort();
    }
    return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace fuzz
