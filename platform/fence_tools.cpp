// Tool path resolution: production paths, planted tools and the stand-ins.
#include "platform/fence_tools.hpp"

#include "platform/emulation.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

namespace platform {

std::string executable_dir()
{
    char buf[PATH_MAX + 1] = {};
    ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
    if (n <= 0)
        return {};
    std::string path(buf, static_cast<size_t>(n));
    auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return {};
    return path.substr(0, slash == 0 ? 1 : slash);
}

std::string tool_path(const std::string& production_path)
{
    if (!emulated_root())
        return production_path;
    std::string planted = system_path(production_path);
    struct stat st {};
    if (::lstat(planted.c_str(), &st) == 0)
        return planted;
    auto slash = production_path.rfind('/');
    std::string base = slash == std::string::npos ? production_path : production_path.substr(slash + 1);
    std::string dir = executable_dir();
    if (dir.empty())
        return planted;  // nothing to run: the caller reports the failed start
    return (dir == "/" ? "" : dir) + "/kelm-emul-" + base;
}

}  // namespace platform
