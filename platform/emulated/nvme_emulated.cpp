// The emulated backend of the NVMe port (platform/nvme.hpp): "/dev/<name>" opens the
// emulated NVMe namespace <name> (platform/emulated/disk_emul.hpp) as this host.
// Descriptors are numbers in a process-wide table, guarded by one mutex; like a
// device node, a descriptor stays bound to the disk's insertion it was opened on.
#include "platform/emulated/disk_emul.hpp"
#include "platform/nvme.hpp"
#include "platform/process.hpp"

#include <cerrno>
#include <map>
#include <mutex>

namespace platform::nvme {

namespace {

struct handle {
    std::string name;
    int64_t epoch;
    std::string host;
};

std::mutex table_lock;
std::map<int, handle>& table()
{
    static auto* t = new std::map<int, handle>();  // never freed: descriptors may outlive statics
    return *t;
}
int next_fd = 1000;

bool lookup(int fd, handle* out)
{
    std::lock_guard<std::mutex> g(table_lock);
    auto it = table().find(fd);
    if (it == table().end())
        return false;
    *out = it->second;
    return true;
}

}  // namespace

int open_device(const std::string& path)
{
    if (path.rfind("/dev/", 0) != 0) {
        errno = ENOENT;
        return -1;
    }
    std::string host = get_hostname();
    auto r = disk_emul::open_disk(path, "nvme", host);
    if (r.err != 0) {
        errno = r.err;
        return -1;
    }
    std::lock_guard<std::mutex> g(table_lock);
    int fd = next_fd++;
    table()[fd] = handle{disk_emul::disk_name(path), r.epoch, host};
    return fd;
}

int close_device(int fd)
{
    std::lock_guard<std::mutex> g(table_lock);
    if (table().erase(fd) == 0) {
        errno = EBADF;
        return -1;
    }
    return 0;
}

int get_nsid(int fd, uint32_t* nsid)
{
    handle h;
    if (!lookup(fd, &h)) {
        errno = EBADF;
        return -1;
    }
    if (int e = disk_emul::fault_errno(h.name, h.host, "nsid"); e != 0) {
        errno = e;
        return -1;
    }
    std::string err;
    auto disk = disk_emul::read_disk(h.name, &err);
    if (!disk || disk->value("removed", false) || disk->value("epoch", int64_t{0}) != h.epoch) {
        errno = ENXIO;
        return -1;
    }
    *nsid = disk->value("nsid", uint32_t{1});
    return 0;
}

int passthrough(int fd, pt_command* pt)
{
    handle h;
    if (pt == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (!lookup(fd, &h)) {
        errno = EBADF;
        return -1;
    }
    auto done = disk_emul::nvme_command(h.name, h.epoch, h.host, *pt);
    if (done.sys_errno != 0) {
        errno = done.sys_errno;
        return -1;
    }
    pt->cpl = completion{};
    pt->cpl.cid = pt->cmd.cid;
    // The phase tag is whatever the queue's phase was; callers must ignore it.
    pt->cpl.status = static_cast<uint16_t>(done.status | 1);
    return 0;
}

}  // namespace platform::nvme
