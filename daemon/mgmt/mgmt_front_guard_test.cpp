// Connection floods at the front end: too many connections, and connections
// the process has no descriptor left to accept. Either way the endpoint closes
// them, does not spin, and answers a new client afterwards.
#include "daemon/mgmt/mgmt_test_util.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <dirent.h>

namespace mgmt::test {
namespace {

const std::string HELP = R"({"call":"help"})";
const std::string HELP_REPLY = R"({"response":["service","node","debug"]})";

int open_fds()
{
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d) != nullptr)
            ++n;
        ::closedir(d);
    }
    return n;
}

double cpu_seconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

sockaddr_in loopback(const std::string& url)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(std::stoi(url.substr(url.rfind(':') + 1))));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Opens up to n raw TCP connections that never speak ZMTP; the descriptors.
std::vector<int> connect_raw(const std::string& url, int n)
{
    const sockaddr_in a = loopback(url);
    std::vector<int> fds;
    for (int i = 0; i < n; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            break;
        fds.push_back(fd);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
            break;
    }
    return fds;
}

// Connections the endpoint still holds open: no end of stream (after its
// greeting) within a moment.
int still_open(const std::vector<int>& fds)
{
    int n = 0;
    for (int fd : fds) {
        char buf[256];
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) != 1) {
                ++n;
                break;
            }
            if (::recv(fd, buf, sizeof buf, MSG_DONTWAIT) <= 0)
                break;
        }
    }
    return n;
}

// A child process that holds n raw connections until it is killed, with
// descriptors of its own: the endpoint's process alone runs short.
struct flood_process {
    pid_t pid = -1;
    flood_process(const std::string& url, int n)
    {
        pid = ::fork();
        if (pid == 0) {
            rlimit r{};
            ::getrlimit(RLIMIT_NOFILE, &r);
            r.rlim_cur = r.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &r);
            (void)connect_raw(url, n);
            for (;;)
                ::pause();
        }
    }
    ~flood_process()
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

endpoint_rig& activated(endpoint_rig& rig)
{
    rig.app->doevent("ACTIVATE", "S1");
    EXPECT_EQ(ask_until_up(rig.url, HELP), HELP_REPLY);
    return rig;
}

TEST(front_guard, LimitOfConnectionsClosesThemAndListensAgain)
{
    endpoint_rig rig({200ms, 100ms, 200ms, 20});
    activated(rig);
    // Connections past the limit may already be refused while the endpoint
    // listens again; more than the limit always get through first.
    const std::vector<int> fds = connect_raw(rig.url, 60);
    ASSERT_GT(fds.size(), 20u);
    std::this_thread::sleep_for(500ms);
    EXPECT_LE(still_open(fds), 20) << "the endpoint kept more connections than its limit";
    EXPECT_EQ(ask_until_up(rig.url, HELP, 3s), HELP_REPLY) << "during the flood";
    for (int fd : fds)
        ::close(fd);
    EXPECT_EQ(ask_until_up(rig.url, HELP, 3s), HELP_REPLY);
}

// The process runs out of descriptors: the library cannot accept, which must not
// turn its I/O thread into a busy loop.
TEST(front_guard, FailedAcceptDoesNotSpin)
{
    endpoint_rig rig({200ms, 100ms, 200ms, 1000});
    activated(rig);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(open_fds() + 16);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    double used;
    {
        flood_process f(rig.url, 60);
        std::this_thread::sleep_for(500ms);
        const double t0 = cpu_seconds();
        std::this_thread::sleep_for(1s);
        used = cpu_seconds() - t0;
    }
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_LT(used, 0.3) << "CPU seconds in one second of a flood";
    EXPECT_EQ(ask_until_up(rig.url, HELP, 3s), HELP_REPLY);
}

}  // namespace
}  // namespace mgmt::test
