// Service hooks: selection, order, environment, one process group per hook, and the
// run's time budget.
#include "nodeactions/service_hooks.hpp"

#include "nodeactions/phase_log.hpp"
#include "platform/emulation.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace nodeactions {

namespace {

const std::string& hook_dir_init()
{
    static const std::string dir = platform::system_path(service_hook_dir);
    return dir;
}

// Fixed before main runs, like every other process-wide setting of the program.
[[maybe_unused]] const std::string& hook_dir_at_start = hook_dir_init();

bool is_directory(const std::string& path)
{
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_runnable_file(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    return (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
}

// The search "^[0-9]{3}\\." written out: three ASCII digits at the start of the name,
// then a dot (the anchor holds only at the start, so "a001.x" does not match).
bool hook_name(const std::string& name)
{
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return name.size() >= 4 && digit(name[0]) && digit(name[1]) && digit(name[2]) && name[3] == '.';
}

std::string outcome_text(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status) == 0 ? "rc=0" : "exited rc=" + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status));
    return "abnormal wait status " + std::to_string(status);
}

long long millis(std::chrono::milliseconds d)
{
    return static_cast<long long>(d.count());
}

// SIGCHLD blocked for the life of one hook, so its end can be awaited with a time-out.
class sigchld_block {
public:
    sigchld_block()
    {
        sigemptyset(&set_);
        sigaddset(&set_, SIGCHLD);
        sigprocmask(SIG_BLOCK, &set_, &old_);
    }
    ~sigchld_block() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
    sigchld_block(const sigchld_block&) = delete;
    sigchld_block& operator=(const sigchld_block&) = delete;

    const sigset_t& set() const { return set_; }
    const sigset_t& old() const { return old_; }

private:
    sigset_t set_{};
    sigset_t old_{};
};

// waitpid for one child without giving up on an interrupted call.
pid_t wait_child(pid_t pid, int* status, int options)
{
    for (;;) {
        pid_t r = ::waitpid(pid, status, options);
        if (r >= 0 || errno != EINTR)
            return r;
    }
}

}  // namespace

const std::string& hook_dir()
{
    return hook_dir_init();
}

std::vector<std::string> hook_list(const std::string& dir, bool ascending)
{
    std::vector<std::string> names;
    if (!is_directory(dir))
        return names;
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec);
    if (ec)
        return names;
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
        if (ec)
            return {};
        const std::string name = it->path().filename().string();
        if (!hook_name(name))
            continue;
        if (is_runnable_file(dir + "/" + name))
            names.push_back(name);
    }
    // std::string compares its bytes as unsigned chars: byte-wise order.
    std::sort(names.begin(), names.end());
    if (!ascending)
        std::reverse(names.begin(), names.end());
    return names;
}

hook_runner::hook_runner(std::string service_dir, std::string pools_root, std::optional<long long> node_id,
                         std::chrono::milliseconds budget)
    : service_dir_(std::move(service_dir)),
      pools_root_(std::move(pools_root)),
      node_id_text_(node_id ? std::to_string(*node_id) : std::string()),
      budget_(budget)
{
}

void hook_runner::run_pool_hooks(const std::string& pool, const std::string& argument, bool ascending,
                                 const std::string& service)
{
    // When the service hook directory exists, it serves every pool and the pools'
    // own directories are not looked at.
    const bool service_hooks = is_directory(service_dir_);
    // A pool name never holds a "/" and is never "." or "..": such a configured name
    // has no directory of its own and must not lead the path anywhere else.
    if (!service_hooks && (pool.empty() || pool == "." || pool == ".." || pool.find('/') != std::string::npos))
        return;
    const std::string dir = service_hooks ? service_dir_ : pools_root_ + "/" + pool + "/.internal/rc.d";
    for (const auto& name : hook_list(dir, ascending)) {
        const std::string context = ctx({{"pool", pool}, {"script", name}});
        phase_info("pool-script", context, argument);
        if (service_hooks) {
            ::setenv("PELLIX_POOL", pool.c_str(), 1);
            ::setenv("PELLIX_NODE_ID", node_id_text_.c_str(), 1);
            ::setenv("PELLIX_SERVICE", service.c_str(), 1);
        }
        run_one(dir + "/" + name, argument, context);
    }
}

void hook_runner::run_one(const std::string& path, const std::string& argument, const std::string& context)
{
    const auto now = std::chrono::steady_clock::now();
    if (!deadline_)
        deadline_ = now + budget_;
    if (now >= *deadline_) {
        phase_error("pool-script", context,
                    "not run: the time for all hooks of the run (" + std::to_string(millis(budget_)) + " ms) is spent");
        return;
    }
    // A caller that ignores SIGCHLD would have the child reaped before it is waited for.
    ::signal(SIGCHLD, SIG_DFL);
    sigchld_block block;
    const pid_t pid = ::fork();
    if (pid < 0) {
        phase_error("pool-script", context, std::string("failed to exec: ") + std::strerror(errno));
        return;
    }
    if (pid == 0) {
        // Its own process group, so the whole hook (a shell and what it started)
        // can be killed at the bound.
        ::setpgid(0, 0);
        sigprocmask(SIG_SETMASK, &block.old(), nullptr);
        ::execl(path.c_str(), path.c_str(), argument.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Set on both sides: whichever runs first, the group exists before any kill.
    ::setpgid(pid, pid);

    auto report = [&context](int status) {
        const std::string text = outcome_text(status);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
            phase_info("pool-script", context, text);
        else
            phase_error("pool-script", context, text);
    };
    auto wait_failed = [&context]() {
        phase_error("pool-script", context, std::string("failed to exec: ") + std::strerror(errno));
    };
    int status = 0;
    for (;;) {
        pid_t r = wait_child(pid, &status, WNOHANG);
        if (r == pid)
            return report(status);
        if (r < 0)
            return wait_failed();
        const auto left = *deadline_ - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            phase_error("pool-script", context,
                        "exceeded its time (" + std::to_string(millis(budget_)) +
                            " ms for all hooks of the run), killing its process group");
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);  // in case the group could not be made
            if (wait_child(pid, &status, 0) == pid)
                return report(status);
            return wait_failed();
        }
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(ns / 1000000000);
        ts.tv_nsec = static_cast<long>(ns % 1000000000);
        // Wakes at the child's end (SIGCHLD), an interruption or the time-out; the
        // loop looks again in every case.
        ::sigtimedwait(&block.set(), nullptr, &ts);
    }
}

}  // namespace nodeactions
