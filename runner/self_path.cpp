// Executable directory, Linux backend (/proc/self/exe).
#include "runner/self_path.hpp"

#include <unistd.h>

#include <climits>

namespace runner {

std::string executable_dir()
{
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    std::string path(buf, static_cast<std::size_t>(n));
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace runner
