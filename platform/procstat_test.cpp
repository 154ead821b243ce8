// The /proc scan: one entry per process whatever its threads, device names
// relative to the host's device directory, files elsewhere unnamed.
#include "platform/procstat.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

using namespace platform::procstat;

TEST(procstat, processes_once_each_and_devices_named_relative_to_the_host)
{
    char tmpl[] = "/tmp/kelm-procstat-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string root = tmpl;
    ::setenv("KELM_EMUL_ROOT", root.c_str(), 1);
    ::setenv("KELM_EMUL_HOST", "nodeA", 1);
    EXPECT_EQ(device_dir(), root + "/hosts/nodeA/dev");

    // A second thread must not make this process appear twice.
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::thread extra([&] {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return done; });
    });

    const bool root_user = ::geteuid() == 0;
    std::filesystem::create_directories(device_dir() + "/zvol/tank");
    const std::string node = device_dir() + "/zvol/tank/v";
    int devfd = -1;
    if (root_user && ::mknod(node.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0)
        devfd = ::open(node.c_str(), O_RDONLY);
    int nullfd = ::open("/dev/null", O_RDONLY);  // a character device outside the host's directory

    procstat* ps = procstat_open_sysctl();
    ASSERT_NE(ps, nullptr);
    unsigned int count = 0;
    kinfo_proc* procs = procstat_getprocs(ps, KERN_PROC_PROC, 0, &count);
    ASSERT_NE(procs, nullptr);
    int mine = 0;
    kinfo_proc* me = nullptr;
    for (unsigned int i = 0; i < count; ++i) {
        if (procs[i].ki_pid == ::getpid()) {
            ++mine;
            me = &procs[i];
        }
    }
    ASSERT_EQ(mine, 1);
    EXPECT_NE(me->ki_stat, SZOMB);
    filestat_list* files = procstat_getfiles(ps, me, 0);
    ASSERT_NE(files, nullptr);
    bool saw_null = false;
    bool saw_zvol = false;
    for (auto& f : *files) {
        vnstat vn;
        if (f.fs_type != PS_FST_TYPE_VNODE || procstat_get_vnode_info(ps, &f, &vn, nullptr) != 0)
            continue;
        if (f.fs_fd == nullfd) {
            saw_null = true;
            EXPECT_EQ(vn.vn_type, PS_FST_VTYPE_VCHR);
            EXPECT_TRUE(vn.vn_devname.empty());
        }
        if (devfd >= 0 && f.fs_fd == devfd) {
            saw_zvol = true;
            EXPECT_EQ(vn.vn_devname, "zvol/tank/v");
        }
    }
    EXPECT_TRUE(saw_null);
    EXPECT_EQ(saw_zvol, devfd >= 0);
    procstat_freefiles(ps, files);

    // A process that is gone has no files to read.
    kinfo_proc gone;
    gone.ki_pid = 0x3fffffff;
    EXPECT_EQ(procstat_getfiles(ps, &gone, 0), nullptr);
    procstat_freeprocs(ps, procs);
    procstat_close(ps);

    {
        std::lock_guard<std::mutex> lock(m);
        done = true;
    }
    cv.notify_all();
    extra.join();
    ::close(nullfd);
    if (devfd >= 0)
        ::close(devfd);
    std::filesystem::remove_all(root);
    ::unsetenv("KELM_EMUL_ROOT");
    ::unsetenv("KELM_EMUL_HOST");
    EXPECT_EQ(device_dir(), "/dev");
}
