// Service hooks of poolrun (the "pool-script" phase): which directory, which files,
// in which order, with which environment, and how long they may take. Every hook
// runs in its own process group; the run's hooks share one time budget, at whose
// end the running hook's whole group is killed. Single-threaded program.
#pragma once

#include <signal.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace nodeactions {

// The service hook directory of production.
inline constexpr const char* service_hook_dir = "/usr/local/libexec/kelm/service.d";

// The process-wide hook directory, set before main (service_hook_dir through the
// platform's path mapping); nothing changes it later.
const std::string& hook_dir();

// A start or stop must end well inside the 300 s the daemon waits for its Runner,
// or the daemon times out, retries, and two poolrun runs act on one node.
inline constexpr std::chrono::seconds hook_budget_default{240};

// Names (last component) of the hooks of `dir`: a name matching "^[0-9]{3}\.", a
// regular file after links, with an execute bit. Sorted byte-wise, ascending or
// descending. A path that is not a listable directory gives none.
std::vector<std::string> hook_list(const std::string& dir, bool ascending);

// The longest the hook wait sleeps before it looks at the hook again: the hook's
// end is seen within this even when no SIGCHLD arrives.
inline constexpr std::chrono::milliseconds wait_slice{100};

class hook_runner {
public:
    // Sleeps until a signal of the set is pending (and takes it) or the time-out
    // ends. The default is sigtimedwait; a test may put in one that never sees it.
    using signal_wait = std::function<void(const sigset_t&, std::chrono::nanoseconds)>;

    // `service_dir`: the service hook directory (used when it is a directory);
    // `pools_root`: where "<pool>/.internal/rc.d" lives otherwise; `node_id`: the
    // host's node id, none when the host is not configured; `budget`: the time all
    // hooks of this run may take together, counted from the first hook.
    hook_runner(std::string service_dir, std::string pools_root, std::optional<long long> node_id,
                std::chrono::milliseconds budget);

    // Runs the hooks of one pool with `argument` ("onestart" or "stop"), each to its
    // end or the end of the budget, and logs every outcome; nothing is a failure.
    void run_pool_hooks(const std::string& pool, const std::string& argument, bool ascending,
                        const std::string& service);

    void set_signal_wait(signal_wait wait) { signal_wait_ = std::move(wait); }

private:
    void run_one(const std::string& path, const std::string& argument, const std::string& context);

    std::string service_dir_;
    std::string pools_root_;
    std::string node_id_text_;
    std::chrono::milliseconds budget_;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    signal_wait signal_wait_;
};

}  // namespace nodeactions
