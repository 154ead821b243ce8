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

extern "C" void sigchld_noop(int) {}

// For the life of one hook SIGCHLD is caught by a handler that does nothing, and
// blocked: a caught signal that is blocked stays pending, so the wait below can
// take it. At its default disposition (or ignored) FreeBSD discards SIGCHLD at
// once, blocked or not, and Linux keeps it: the handler makes both behave alike.
// Catching it also undoes a SIGCHLD ignored by our parent, which would have the
// kernel reap the hook before it is waited for.
class sigchld_catch {
public:
    sigchld_catch()
    {
        struct sigaction sa {};
        sa.sa_handler = sigchld_noop;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGCHLD, &sa, &old_action_);
        sigemptyset(&set_);
        sigaddset(&set_, SIGCHLD);
        sigprocmask(SIG_BLOCK, &set_, &old_mask_);
    }
    ~sigchld_catch()
    {
        sigprocmask(SIG_SETMASK, &old_mask_, nullptr);
        ::sigaction(SIGCHLD, &old_action_, nullptr);
    }
    sigchld_catch(const sigchld_catch&) = delete;
    sigchld_catch& operator=(const sigchld_catch&) = delete;

    const sigset_t& set() const { return set_; }
    const sigset_t& old_mask() const { return old_mask_; }
    const struct sigaction& old_action() const { return old_action_; }

private:
    struct sigaction old_action_ {};
    sigset_t set_{};
    sigset_t old_mask_{};
};

void wait_for_signal(const sigset_t& set, std::chrono::nanoseconds timeout)
{
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(timeout.count() / 1000000000);
    ts.tv_nsec = static_cast<long>(timeout.count() % 1000000000);
    ::sigtimedwait(&set, nullptr, &ts);
}

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
      budget_(budget),
      signal_wait_(wait_for_signal)
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
    sigchld_catch sigchld;
    const pid_t pid = ::fork();
    if (pid < 0) {
        phase_error("pool-script", context, std::string("failed to exec: ") + std::strerror(errno));
        return;
    }
    if (pid == 0) {
        // Its own process group, so the whole hook (a shell and what it started)
        // can be killed at the bound.
        ::setpgid(0, 0);
        // The hook starts with the caller's SIGCHLD disposition and mask (exec
        // resets a caught signal to its default anyway).
        ::sigaction(SIGCHLD, &sigchld.old_action(), nullptr);
        sigprocmask(SIG_SETMASK, &sigchld.old_mask(), nullptr);
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
        // Wakes at the child's end (SIGCHLD), an interruption or the slice's end;
        // the loop looks again in every case, so a lost signal costs one slice.
        const auto slice = std::min(std::chrono::duration_cast<std::chrono::nanoseconds>(left),
                                    std::chrono::nanoseconds(wait_slice));
        signal_wait_(sigchld.set(), slice);
    }
}

}  // namespace nodeactions
