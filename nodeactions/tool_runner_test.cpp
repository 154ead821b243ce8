// run_capture against small shell programs: output, statuses, signals, descriptors.
#include "nodeactions/tool_runner.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <set>

using namespace nodeactions;

namespace {

std::set<int> open_fds()
{
    std::set<int> fds;
    DIR* d = ::opendir("/proc/self/fd");
    if (d == nullptr)
        return fds;
    int own = ::dirfd(d);
    while (auto* e = ::readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        int fd = std::atoi(e->d_name);
        if (fd != own)
            fds.insert(fd);
    }
    ::closedir(d);
    return fds;
}

std::optional<run_result> sh(const std::string& script, std::string* err)
{
    return run_capture("/bin/sh", {"-c", script}, err);
}

TEST(run_capture, captures_output_and_status)
{
    std::string err;
    auto r = sh("printf 'a b\\n'; echo to-stderr >&2; exit 3", &err);
    ASSERT_TRUE(r) << err;
    EXPECT_EQ(r->status, 3);
    EXPECT_EQ(r->output, "a b\n");
    EXPECT_EQ(err, "");

    r = run_capture("/bin/echo", {"x y", "", "z"}, &err);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->output, "x y  z\n");  // arguments go through as they are
}

// A parent that started us with SIGCHLD ignored (or with SA_NOCLDWAIT) would have
// the kernel reap every tool before it is waited for: each run must still end
// with the tool's status.
TEST(run_capture, works_under_an_ignored_or_no_wait_sigchld)
{
    struct sigaction saved {};
    ASSERT_EQ(::sigaction(SIGCHLD, nullptr, &saved), 0);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    struct sigaction no_wait {};
    no_wait.sa_handler = SIG_DFL;
    no_wait.sa_flags = SA_NOCLDWAIT;
    sigemptyset(&no_wait.sa_mask);
    for (const struct sigaction* setting : {&ignore, &no_wait}) {
        ASSERT_EQ(::sigaction(SIGCHLD, setting, nullptr), 0);
        std::string err;
        auto r = sh("echo fenced; exit 4", &err);
        ASSERT_TRUE(r) << err;
        EXPECT_EQ(r->status, 4);
        EXPECT_EQ(r->output, "fenced\n");
    }
    ::sigaction(SIGCHLD, &saved, nullptr);
}

TEST(run_capture, captures_a_mebibyte_whole)
{
    std::string err;
    auto r = sh("head -c 1048576 /dev/zero | tr '\\0' 'q'", &err);
    ASSERT_TRUE(r) << err;
    EXPECT_EQ(r->status, 0);
    ASSERT_EQ(r->output.size(), 1048576u);
    EXPECT_EQ(r->output.find_first_not_of('q'), std::string::npos);
}

TEST(run_capture, missing_program_gives_127)
{
    std::string err;
    auto r = run_capture("/nonexistent/ctladm", {"portlist", "-x"}, &err);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 127);
    EXPECT_EQ(r->output, "");
    EXPECT_EQ(err, "failed to exec /nonexistent/ctladm");
}

TEST(run_capture, signal_gives_no_result)
{
    std::string err;
    auto r = sh("echo partial; kill -9 $$", &err);
    EXPECT_FALSE(r);
    EXPECT_EQ(err, "killed by signal 9");
}

TEST(run_capture, leaks_no_descriptor_into_the_tool_or_the_caller)
{
    // The next two free numbers are the ones the pipe will take.
    int probe = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(probe, 0);
    int probe2 = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::close(probe);
    ::close(probe2);
    auto before = open_fds();
    std::string err;
    auto r = sh("ls /proc/$$/fd", &err);
    ASSERT_TRUE(r) << err;
    std::set<int> child;
    size_t pos = 0;
    while (pos < r->output.size()) {
        auto nl = r->output.find('\n', pos);
        child.insert(std::atoi(r->output.substr(pos, nl - pos).c_str()));
        pos = nl == std::string::npos ? r->output.size() : nl + 1;
    }
    EXPECT_TRUE(child.count(1));
    EXPECT_FALSE(child.count(probe)) << r->output;
    EXPECT_FALSE(child.count(probe2)) << r->output;
    EXPECT_EQ(open_fds(), before);
    for (int i = 0; i < 50; ++i)
        run_capture("/nonexistent", {}, &err);
    EXPECT_EQ(open_fds(), before);
}

TEST(run_capture, works_when_standard_input_and_output_are_closed)
{
    // The pipe then takes descriptors 0 and 1 itself: its write end is already
    // the tool's standard output and must stay open across the exec.
    int saved_in = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 10);
    int saved_out = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 10);
    ASSERT_GE(saved_in, 0);
    ASSERT_GE(saved_out, 0);
    ::close(STDIN_FILENO);
    ::close(STDOUT_FILENO);
    std::string err;
    auto r = sh("echo through", &err);
    int stray = ::fcntl(STDOUT_FILENO, F_GETFD);  // must be closed again
    ::dup2(saved_in, STDIN_FILENO);
    ::dup2(saved_out, STDOUT_FILENO);
    ::close(saved_in);
    ::close(saved_out);
    ASSERT_TRUE(r) << err;
    EXPECT_EQ(r->status, 0);
    EXPECT_EQ(r->output, "through\n");
    EXPECT_EQ(stray, -1);
}

}  // namespace
