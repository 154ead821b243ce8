// The narrow process-file interface the pool code uses to find who holds a zvol
// open, shaped like the operating system's process-statistics library. On Linux
// it reads /proc: processes only (not threads), each open descriptor followed to
// its file; a process that vanishes or denies access mid-scan is skipped.
// Character devices are named relative to device_dir(), as the real library
// names them relative to /dev. Not thread-safe per handle.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace platform::procstat {

// The device directory of this host: "/dev" in production; with the platform
// emulated, "<KELM_EMUL_ROOT>/hosts/<host>/dev" (host = get_hostname()), so every
// emulated host has its own device nodes.
std::string device_dir();
// The device directory of the named host (the same rule).
std::string device_dir_of(const std::string& host);

struct procstat;

inline constexpr int KERN_PROC_PROC = 8;  // one entry per process, not per thread
inline constexpr char SZOMB = 'Z';

struct kinfo_proc {
    pid_t ki_pid = 0;
    char ki_stat = 0;       // SZOMB for a zombie
    std::string ki_comm;    // command name
};

inline constexpr int PS_FST_TYPE_VNODE = 1;
inline constexpr int PS_FST_TYPE_OTHER = 2;
inline constexpr int PS_FST_VTYPE_VCHR = 3;
inline constexpr int PS_FST_VTYPE_OTHER = 9;

struct filestat {
    int fs_type = PS_FST_TYPE_OTHER;
    int fs_fd = -1;
    std::string fs_path;    // what the descriptor leads to
    pid_t owner = 0;
};
using filestat_list = std::vector<filestat>;

struct vnstat {
    int vn_type = PS_FST_VTYPE_OTHER;
    std::string vn_devname;  // character devices under device_dir(): the relative name
};

procstat* procstat_open_sysctl();
// All processes (what = KERN_PROC_PROC); count set to the number of entries.
// Null on failure.
kinfo_proc* procstat_getprocs(procstat* ps, int what, int arg, unsigned int* count);
// Open files of one process; null when they cannot be read (process gone, no access).
filestat_list* procstat_getfiles(procstat* ps, kinfo_proc* kp, int mmapped);
// 0 on success; non-zero (with a reason in errbuf when given) when the file cannot be examined.
int procstat_get_vnode_info(procstat* ps, filestat* fst, vnstat* vn, std::string* errbuf);
void procstat_freefiles(procstat* ps, filestat_list* head);
void procstat_freeprocs(procstat* ps, kinfo_proc* p);
void procstat_close(procstat* ps);

}  // namespace platform::procstat
