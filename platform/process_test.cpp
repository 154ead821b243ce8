// Process utilities: uuid form, emulated host name and kernel variables, thread names.
#include "platform/emulation.hpp"
#include "platform/process.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <unistd.h>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

struct emul_dir : ::testing::Test {
    std::string root;
    void SetUp() override
    {
        char tmpl[] = "/tmp/kelm-platform-XXXXXX";
        root = ::mkdtemp(tmpl);
        ::setenv(platform::emul_root_env, root.c_str(), 1);
    }
    void TearDown() override
    {
        ::unsetenv(platform::emul_root_env);
        ::unsetenv(platform::emul_host_env);
        std::string cmd = "rm -rf '" + root + "'";
        (void)std::system(cmd.c_str());
    }
};

TEST(process, uuid_is_36_char_lowercase_and_unique)
{
    std::string a = platform::make_uuid();
    std::string b = platform::make_uuid();
    ASSERT_EQ(a.size(), 36u);
    for (size_t i = 0; i < a.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23)
            EXPECT_EQ(a[i], '-');
        else
            EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(a[i])) && !std::isupper(static_cast<unsigned char>(a[i])));
    }
    EXPECT_NE(a, b);
}

TEST_F(emul_dir, hostname_comes_from_the_environment_when_set)
{
    ::setenv(platform::emul_host_env, "nodeA", 1);
    EXPECT_EQ(platform::get_hostname(), "nodeA");
    ::unsetenv(platform::emul_host_env);
    EXPECT_FALSE(platform::get_hostname().empty());
}

TEST_F(emul_dir, emulated_hostname_is_honoured_only_on_an_emulated_platform)
{
    ::unsetenv(platform::emul_host_env);
    const std::string kernel = platform::get_hostname();
    ::setenv(platform::emul_host_env, "nodeA", 1);
    ::unsetenv(platform::emul_root_env);
    EXPECT_EQ(platform::read_hostname(), kernel) << "a stray KELM_EMUL_HOST changed a production node's name";
    ::setenv(platform::emul_root_env, root.c_str(), 1);
    EXPECT_EQ(platform::read_hostname(), "nodeA");
    // A name that would not fit gethostname's buffer fails as the kernel's would.
    ::setenv(platform::emul_host_env, std::string(255, 'n').c_str(), 1);
    EXPECT_FALSE(platform::read_hostname());
    ::setenv(platform::emul_host_env, std::string(254, 'n').c_str(), 1);
    EXPECT_EQ(platform::read_hostname(), std::string(254, 'n'));
    ::unsetenv(platform::emul_host_env);
}

TEST_F(emul_dir, sysctl_writes_value_file_under_the_root)
{
    ASSERT_TRUE(platform::sysctl_set_int("debug.kdb.panic", 1));
    std::ifstream in(root + "/sysctl/debug.kdb.panic");
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "1");
}

TEST_F(emul_dir, sysctl_refuses_names_that_escape_the_directory)
{
    EXPECT_FALSE(platform::sysctl_set_int("../escape", 1));
    EXPECT_FALSE(platform::sysctl_set_int("", 1));
}

TEST(process, sysctl_without_emulated_root_never_touches_the_kernel)
{
    ::unsetenv(platform::emul_root_env);
    EXPECT_FALSE(platform::sysctl_set_int("debug.kdb.panic", 1));
}

std::atomic<bool> release_thread{false};

void* wait_for_release(void*)
{
    while (!release_thread.load())
        usleep(1000);
    return nullptr;
}

TEST(process, thread_names_are_cut_to_fifteen_bytes)
{
    pthread_t t = platform::thread_start(wait_for_release, nullptr, "a-very-long-thread-name");
    char buf[32] = {};
    pthread_getname_np(t, buf, sizeof buf);
    release_thread.store(true);
    pthread_join(t, nullptr);
    EXPECT_STREQ(buf, "a-very-long-thr");
}

void* report_mask(void* out)
{
    sigset_t cur;
    pthread_sigmask(SIG_BLOCK, nullptr, &cur);
    *static_cast<bool*>(out) = sigismember(&cur, SIGTERM) && sigismember(&cur, SIGINT) && sigismember(&cur, SIGQUIT);
    return nullptr;
}

TEST(process, started_threads_block_stop_signals)
{
    bool blocked = false;
    pthread_t t = platform::thread_start(report_mask, &blocked, "mask");
    pthread_join(t, nullptr);
    EXPECT_TRUE(blocked);
}

}  // namespace
