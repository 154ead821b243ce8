// Process-file scan over /proc: processes from the numeric entries of /proc
// (thread ids are not listed there), descriptors from /proc/<pid>/fd.
#include "platform/procstat.hpp"

#include "platform/emulation.hpp"
#include "platform/process.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <new>

namespace platform::procstat {

struct procstat {
    std::string proc_dir = "/proc";
    std::string dev_dir;
};

namespace {

bool numeric(const char* name)
{
    if (*name == '\0')
        return false;
    for (const char* p = name; *p != '\0'; ++p)
        if (!std::isdigit(static_cast<unsigned char>(*p)))
            return false;
    return true;
}

// Command name and state letter from /proc/<pid>/stat ("pid (comm) S ...").
bool read_stat(const std::string& path, std::string* comm, char* stat)
{
    std::ifstream in(path);
    std::string line;
    if (!in.is_open() || !std::getline(in, line))
        return false;
    size_t open = line.find('(');
    size_t close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open || close + 2 >= line.size())
        return false;
    *comm = line.substr(open + 1, close - open - 1);
    *stat = line[close + 2];
    return true;
}

}  // namespace

std::string device_dir_of(const std::string& host)
{
    auto root = emulated_root();
    return root ? *root + "/hosts/" + host + "/dev" : std::string("/dev");
}

std::string device_dir()
{
    return emulated_root() ? device_dir_of(get_hostname()) : std::string("/dev");
}

procstat* procstat_open_sysctl()
{
    auto* ps = new (std::nothrow) procstat();
    if (ps != nullptr)
        ps->dev_dir = device_dir();
    return ps;
}

kinfo_proc* procstat_getprocs(procstat* ps, int what, int /*arg*/, unsigned int* count)
{
    if (ps == nullptr || count == nullptr || what != KERN_PROC_PROC)
        return nullptr;
    DIR* dir = ::opendir(ps->proc_dir.c_str());
    if (dir == nullptr)
        return nullptr;
    std::vector<kinfo_proc> found;
    while (struct dirent* e = ::readdir(dir)) {
        if (!numeric(e->d_name))
            continue;
        kinfo_proc kp;
        kp.ki_pid = static_cast<pid_t>(std::strtol(e->d_name, nullptr, 10));
        // A process that ended since the listing is simply not there.
        if (!read_stat(ps->proc_dir + "/" + e->d_name + "/stat", &kp.ki_comm, &kp.ki_stat))
            continue;
        found.push_back(std::move(kp));
    }
    ::closedir(dir);
    auto* out = new (std::nothrow) kinfo_proc[found.size() + 1];
    if (out == nullptr)
        return nullptr;
    for (size_t i = 0; i < found.size(); ++i)
        out[i] = std::move(found[i]);
    *count = static_cast<unsigned int>(found.size());
    return out;
}

filestat_list* procstat_getfiles(procstat* ps, kinfo_proc* kp, int /*mmapped*/)
{
    if (ps == nullptr || kp == nullptr)
        return nullptr;
    const std::string fd_dir = ps->proc_dir + "/" + std::to_string(kp->ki_pid) + "/fd";
    DIR* dir = ::opendir(fd_dir.c_str());
    if (dir == nullptr)
        return nullptr;  // gone, or not ours to look at (EACCES)
    auto* list = new (std::nothrow) filestat_list();
    if (list == nullptr) {
        ::closedir(dir);
        return nullptr;
    }
    while (struct dirent* e = ::readdir(dir)) {
        if (!numeric(e->d_name))
            continue;
        char target[4096];
        const std::string link = fd_dir + "/" + e->d_name;
        ssize_t n = ::readlink(link.c_str(), target, sizeof(target) - 1);
        if (n < 0)
            continue;
        target[n] = '\0';
        filestat fst;
        fst.fs_fd = static_cast<int>(std::strtol(e->d_name, nullptr, 10));
        fst.fs_path = target;
        fst.owner = kp->ki_pid;
        // Descriptors that lead to a path are files of the file system; sockets,
        // pipes and anonymous inodes read "type:[...]".
        fst.fs_type = (target[0] == '/') ? PS_FST_TYPE_VNODE : PS_FST_TYPE_OTHER;
        list->push_back(std::move(fst));
    }
    ::closedir(dir);
    return list;
}

int procstat_get_vnode_info(procstat* ps, filestat* fst, vnstat* vn, std::string* errbuf)
{
    if (ps == nullptr || fst == nullptr || vn == nullptr)
        return -1;
    struct stat st {};
    const std::string link = ps->proc_dir + "/" + std::to_string(fst->owner) + "/fd/" + std::to_string(fst->fs_fd);
    if (::stat(link.c_str(), &st) != 0) {
        if (errbuf != nullptr)
            *errbuf = std::strerror(errno);
        return -1;
    }
    vn->vn_type = S_ISCHR(st.st_mode) ? PS_FST_VTYPE_VCHR : PS_FST_VTYPE_OTHER;
    vn->vn_devname.clear();
    const std::string prefix = ps->dev_dir + "/";
    if (vn->vn_type == PS_FST_VTYPE_VCHR && fst->fs_path.rfind(prefix, 0) == 0)
        vn->vn_devname = fst->fs_path.substr(prefix.size());
    return 0;
}

void procstat_freefiles(procstat* /*ps*/, filestat_list* head)
{
    delete head;
}

void procstat_freeprocs(procstat* /*ps*/, kinfo_proc* p)
{
    delete[] p;
}

void procstat_close(procstat* ps)
{
    delete ps;
}

}  // namespace platform::procstat
