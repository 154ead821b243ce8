// Emulated-platform directory lookup and fixed-path mapping.
#include "platform/emulation.hpp"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>

namespace platform {

std::optional<std::string> emulated_root()
{
    const char* root = std::getenv(emul_root_env);
    if (root == nullptr || *root == '\0')
        return std::nullopt;
    return std::string(root);
}

std::string system_path(const std::string& production_path)
{
    auto root = emulated_root();
    if (!root)
        return production_path;
    return *root + "/fs" + production_path;
}

bool make_dirs(const std::string& path)
{
    if (path.empty())
        return false;
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty())
            continue;
        if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace platform
