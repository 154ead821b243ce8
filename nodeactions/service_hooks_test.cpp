// Service hooks against real files and processes in a private temporary tree:
// selection, order, directory choice, environment, outcomes and the time bound.
#include "nodeactions/service_hooks.hpp"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

using namespace nodeactions;
namespace fs = std::filesystem;

namespace {

class service_hooks : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kelm-hooks-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(out_);
        auto logger = std::make_shared<spdlog::logger>("test", sink);
        logger->set_pattern("%v");
        spdlog::set_default_logger(logger);
        for (const char* name : {"PELLIX_POOL", "PELLIX_NODE_ID", "PELLIX_SERVICE"})
            ::unsetenv(name);
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    // A script that appends "<its name> <argument> <pool> <node id> <service>" to
    // the run log; a variable that is not set shows as "-".
    void hook(const std::string& dir, const std::string& name, const std::string& extra = "", mode_t mode = 0755)
    {
        fs::create_directories(dir);
        const std::string path = dir + "/" + name;
        std::ofstream(path) << "#!/bin/sh\n"
                            << "echo \"$(basename \"$0\") $1 ${PELLIX_POOL--} ${PELLIX_NODE_ID--} "
                               "${PELLIX_SERVICE--}\" >> " << log_path() << "\n"
                            << extra;
        ::chmod(path.c_str(), mode);
    }
    std::string log_path() const { return root_ + "/run.log"; }
    std::string run_log() const
    {
        std::ifstream in(log_path());
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string lines() const { return out_.str(); }

    std::string root_;
    std::ostringstream out_;
};

}  // namespace

TEST_F(service_hooks, selects_three_digit_executable_regular_files_in_byte_order)
{
    const std::string dir = root_ + "/service.d";
    hook(dir, "010.a");
    hook(dir, "002.b");
    hook(dir, "100.c");
    hook(dir, "10.a");
    hook(dir, "0100.b");
    hook(dir, "abc");
    hook(dir, "020.x", "", 0644);
    hook(dir, "025.o", "", 0701);  // executable for others only
    hook(root_ + "/elsewhere", "target");
    fs::create_symlink(root_ + "/elsewhere/target", dir + "/030.y");
    fs::create_directories(dir + "/040.d");
    ::chmod((dir + "/040.d").c_str(), 0755);
    fs::create_symlink(dir + "/040.d", dir + "/050.l");
    fs::create_symlink(root_ + "/missing", dir + "/060.z");

    const std::vector<std::string> up = {"002.b", "010.a", "025.o", "030.y", "100.c"};
    EXPECT_EQ(hook_list(dir, true), up);
    EXPECT_EQ(hook_list(dir, false), std::vector<std::string>(up.rbegin(), up.rend()));
    EXPECT_TRUE(hook_list(root_ + "/none", true).empty());
    EXPECT_TRUE(hook_list(dir + "/010.a", true).empty());  // a file, not a directory
    EXPECT_TRUE(hook_list("", true).empty());
}

TEST_F(service_hooks, service_directory_serves_every_pool_with_the_environment)
{
    const std::string dir = root_ + "/service.d";
    hook(dir, "010.a");
    hook(dir, "002.b");
    hook(root_ + "/pools/p1/.internal/rc.d", "001.own");
    hook_runner runner(dir, root_ + "/pools", 3, std::chrono::seconds(30));
    runner.run_pool_hooks("p1", "onestart", true, "svc");
    runner.run_pool_hooks("p2", "onestart", true, "svc");
    runner.run_pool_hooks("p1", "stop", false, "svc");
    EXPECT_EQ(run_log(),
              "002.b onestart p1 3 svc\n010.a onestart p1 3 svc\n"
              "002.b onestart p2 3 svc\n010.a onestart p2 3 svc\n"
              "010.a stop p1 3 svc\n002.b stop p1 3 svc\n");
    EXPECT_NE(lines().find("phase=pool-script pool=p2 script=010.a : onestart\n"
                           "phase=pool-script pool=p2 script=010.a : rc=0\n"),
              std::string::npos)
        << lines();
}

TEST_F(service_hooks, pool_directories_without_the_environment)
{
    hook(root_ + "/pools/p1/.internal/rc.d", "001.one");
    hook(root_ + "/pools/p2/.internal/rc.d", "001.two");
    hook_runner runner(root_ + "/no-service.d", root_ + "/pools", std::nullopt, std::chrono::seconds(30));
    runner.run_pool_hooks("p1", "onestart", true, "svc");
    runner.run_pool_hooks("p2", "stop", false, "svc");
    runner.run_pool_hooks("p3", "stop", false, "svc");  // no directory: nothing, silently
    // Names that are no pool names do not lead out of the pools' tree.
    hook(root_ + "/evil/.internal/rc.d", "001.evil");
    hook(root_ + "/pools/.internal/rc.d", "001.dot");
    for (const char* name : {"../evil", "..", ".", ""})
        runner.run_pool_hooks(name, "stop", false, "svc");
    EXPECT_EQ(run_log(), "001.one onestart - - -\n001.two stop - - -\n");
    EXPECT_EQ(lines().find("p3"), std::string::npos);
}

TEST_F(service_hooks, an_unknown_host_gets_an_empty_node_id)
{
    const std::string dir = root_ + "/service.d";
    hook(dir, "001.a");
    hook_runner runner(dir, root_ + "/pools", std::nullopt, std::chrono::seconds(30));
    runner.run_pool_hooks("p1", "onestart", true, "svc");
    EXPECT_EQ(run_log(), "001.a onestart p1  svc\n");
}

TEST_F(service_hooks, outcomes_are_logged_and_the_next_hook_runs)
{
    const std::string dir = root_ + "/service.d";
    hook(dir, "001.ok");
    hook(dir, "002.fail", "exit 3\n");
    hook(dir, "003.kill", "kill -9 $$\n");
    hook(dir, "004.term", "kill -TERM $$\n");
    fs::create_directories(dir);
    std::ofstream(dir + "/005.noexec") << "#!/nonexistent/interpreter\n";
    ::chmod((dir + "/005.noexec").c_str(), 0755);
    hook(dir, "006.last");
    hook_runner runner(dir, root_ + "/pools", 1, std::chrono::seconds(30));
    runner.run_pool_hooks("p", "stop", true, "svc");
    const std::string want =
        "phase=pool-script pool=p script=001.ok : stop\n"
        "phase=pool-script pool=p script=001.ok : rc=0\n"
        "phase=pool-script pool=p script=002.fail : stop\n"
        "phase=pool-script pool=p script=002.fail : exited rc=3\n"
        "phase=pool-script pool=p script=003.kill : stop\n"
        "phase=pool-script pool=p script=003.kill : killed by signal 9\n"
        "phase=pool-script pool=p script=004.term : stop\n"
        "phase=pool-script pool=p script=004.term : killed by signal 15\n"
        "phase=pool-script pool=p script=005.noexec : stop\n"
        "phase=pool-script pool=p script=005.noexec : exited rc=127\n"
        "phase=pool-script pool=p script=006.last : stop\n"
        "phase=pool-script pool=p script=006.last : rc=0\n";
    EXPECT_EQ(lines(), want);
}

TEST_F(service_hooks, a_hanging_hook_and_its_children_are_killed_at_the_bound)
{
    const std::string dir = root_ + "/service.d";
    const std::string pidfile = root_ + "/child.pid";
    // A shell that leaves a child behind and waits for it: killing only the shell
    // would leave the child running.
    hook(dir, "001.hang", "sleep 60 &\necho $! > " + pidfile + "\nwait\n");
    hook(dir, "002.after");
    const auto start = std::chrono::steady_clock::now();
    // Room enough for the shell to start its child and note it on a busy machine.
    hook_runner runner(dir, root_ + "/pools", 1, std::chrono::milliseconds(1500));
    runner.run_pool_hooks("p", "stop", true, "svc");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(10));
    EXPECT_GE(took, std::chrono::milliseconds(1500));
    EXPECT_EQ(lines(),
              "phase=pool-script pool=p script=001.hang : stop\n"
              "phase=pool-script pool=p script=001.hang : exceeded its time (1500 ms for all hooks of the run), "
              "killing its process group\n"
              "phase=pool-script pool=p script=001.hang : killed by signal 9\n"
              "phase=pool-script pool=p script=002.after : stop\n"
              "phase=pool-script pool=p script=002.after : not run: the time for all hooks of the run (1500 ms) "
              "is spent\n");

    std::ifstream in(pidfile);
    pid_t child = 0;
    ASSERT_TRUE(in >> child);
    // The orphan is gone, or a zombie until its new parent reaps it.
    bool gone = false;
    for (int i = 0; i < 200 && !gone; ++i) {
        std::ifstream stat("/proc/" + std::to_string(child) + "/stat");
        std::string pid_field, comm, state;
        gone = !(stat >> pid_field >> comm >> state) || state == "Z";
        if (!gone)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone) << "child " << child << " of the hook still runs";
    if (!gone)
        ::kill(child, SIGKILL);
}

TEST_F(service_hooks, the_budget_is_shared_by_the_hooks_of_a_run)
{
    // One budget for every hook of every pool: the hook of p1 ends well inside it,
    // the one of p2 uses up the rest and is killed, the one of p3 is not started.
    hook(root_ + "/pools/p1/.internal/rc.d", "001.quick");
    hook(root_ + "/pools/p2/.internal/rc.d", "001.slow", "sleep 30\n");
    hook(root_ + "/pools/p3/.internal/rc.d", "001.late");
    hook_runner runner(root_ + "/none", root_ + "/pools", 1, std::chrono::milliseconds(2000));
    const auto start = std::chrono::steady_clock::now();
    runner.run_pool_hooks("p1", "onestart", true, "svc");
    runner.run_pool_hooks("p2", "onestart", true, "svc");
    runner.run_pool_hooks("p3", "onestart", true, "svc");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(2000));
    EXPECT_LT(took, std::chrono::seconds(15));
    EXPECT_NE(lines().find("pool=p1 script=001.quick : rc=0"), std::string::npos) << lines();
    EXPECT_NE(lines().find("pool=p2 script=001.slow : killed by signal 9"), std::string::npos) << lines();
    EXPECT_NE(lines().find("pool=p3 script=001.late : not run: "), std::string::npos) << lines();
    EXPECT_EQ(run_log(), "001.quick onestart - - -\n001.slow onestart - - -\n");
}

TEST_F(service_hooks, an_ignored_sigchld_does_not_lose_the_outcome)
{
    const std::string dir = root_ + "/service.d";
    hook(dir, "001.fail", "exit 4\n");
    ::signal(SIGCHLD, SIG_IGN);
    hook_runner runner(dir, root_ + "/pools", 1, std::chrono::seconds(30));
    runner.run_pool_hooks("p", "stop", true, "svc");
    ::signal(SIGCHLD, SIG_DFL);
    EXPECT_NE(lines().find("script=001.fail : exited rc=4"), std::string::npos) << lines();
}

// Where a blocked SIGCHLD is discarded (FreeBSD at the default disposition), the
// wait never sees the hook end: it must still notice within a slice, not sleep to
// the end of the budget and report every later hook as "not run".
TEST_F(service_hooks, a_wait_that_never_sees_the_signal_still_sees_each_hook_end)
{
    const std::string dir = root_ + "/service.d";
    hook(dir, "001.a");
    hook(dir, "002.b", "exit 2\n");
    hook(dir, "003.c");
    hook_runner runner(dir, root_ + "/pools", 1, std::chrono::seconds(8));
    std::vector<std::chrono::nanoseconds> asked;
    runner.set_signal_wait([&asked](const sigset_t&, std::chrono::nanoseconds timeout) {
        asked.push_back(timeout);
        std::this_thread::sleep_for(timeout);  // the signal, if any, stays unseen
    });
    const auto start = std::chrono::steady_clock::now();
    runner.run_pool_hooks("p", "stop", true, "svc");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(run_log(), "001.a stop p 1 svc\n002.b stop p 1 svc\n003.c stop p 1 svc\n");
    EXPECT_NE(lines().find("script=003.c : rc=0"), std::string::npos) << lines();
    EXPECT_NE(lines().find("script=002.b : exited rc=2"), std::string::npos) << lines();
    ASSERT_FALSE(asked.empty());
    for (auto t : asked)
        EXPECT_LE(t, std::chrono::nanoseconds(wait_slice));
}

// The caller's SIGCHLD setting is back once the hooks have run.
TEST_F(service_hooks, the_callers_sigchld_setting_is_restored)
{
    const std::string dir = root_ + "/service.d";
    hook(dir, "001.ok");
    for (auto disposition : {SIG_IGN, SIG_DFL}) {
        ::signal(SIGCHLD, disposition);
        hook_runner runner(dir, root_ + "/pools", 1, std::chrono::seconds(30));
        runner.run_pool_hooks("p", "stop", true, "svc");
        struct sigaction now {};
        ::sigaction(SIGCHLD, nullptr, &now);
        EXPECT_EQ(now.sa_handler, disposition);
        sigset_t mask;
        sigprocmask(SIG_SETMASK, nullptr, &mask);
        EXPECT_FALSE(sigismember(&mask, SIGCHLD));
    }
    ::signal(SIGCHLD, SIG_DFL);
}
