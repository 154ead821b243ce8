// kelm-emul-zfs: builds emulated pool fixtures, sets faults, settings, fencing,
// host liveness and crashes, and prints the state, a host's view and the
// operation log, for tests and demos.
#include "platform/emulated/emul_tool.hpp"
#include "platform/emulated/zfs_emul.hpp"

#include <cstdio>
#include <iostream>
#include <string>

namespace {

using platform::zfs_emul::json;

const char* usage_text =
    "usage: kelm-emul-zfs show | ops | double-imports\n"
    "       kelm-emul-zfs view <host>\n"
    "       kelm-emul-zfs create '<pool json>'\n"
    "       kelm-emul-zfs update <pool name or id> '<merge patch json>'\n"
    "       kelm-emul-zfs fault '<fault json>'\n"
    "       kelm-emul-zfs settings '{\"activity_window_ms\": <ms>}'\n"
    "       kelm-emul-zfs fence|unfence|host-down|host-up <host>\n"
    "       kelm-emul-zfs host-crash|daemon-crash <host>\n"
    "(state under $KELM_EMUL_ROOT/zfs; a leaf {\"path\": ..., \"disk\": \"<name>\"}\n"
    " lies on a shared emulated disk (kelm-emul-disk) whose reservation decides\n"
    " which hosts write it; host-crash drops the host's imports as a\n"
    " reboot without a cache file does, daemon-crash keeps them; both print the\n"
    " pools concerned, one a line)\n";

int run(int argc, char** argv)
{
    if (argc < 2) {
        std::cerr << usage_text;
        return 2;
    }
    const std::string cmd = argv[1];
    std::string err;
    auto parse = [](const char* text) { return json::parse(text); };
    if (cmd == "show" && argc == 2) {
        auto state = platform::zfs_emul::read_state(&err);
        if (state)
            std::cout << state->dump(2) << "\n";
        return state ? 0 : (std::cerr << err << "\n", 1);
    }
    if (cmd == "double-imports" && argc == 2) {
        auto state = platform::zfs_emul::read_state(&err);
        if (state)
            std::cout << state->value("double_imports", 0) << "\n";
        return state ? 0 : (std::cerr << err << "\n", 1);
    }
    if (cmd == "view" && argc == 3) {
        auto view = platform::zfs_emul::host_view(argv[2], &err);
        if (view)
            std::cout << view->dump(2) << "\n";
        return view ? 0 : (std::cerr << err << "\n", 1);
    }
    if ((cmd == "host-crash" || cmd == "daemon-crash") && argc == 3) {
        std::vector<std::string> pools;
        const bool done = cmd == "host-crash" ? platform::zfs_emul::host_crash(argv[2], &pools, &err)
                                              : platform::zfs_emul::daemon_crash(argv[2], &pools, &err);
        if (!done)
            return std::cerr << err << "\n", 1;
        for (const auto& pool : pools)
            std::cout << pool << "\n";
        return 0;
    }
    if (cmd == "ops" && argc == 2) {
        auto ops = platform::zfs_emul::read_ops(&err);
        for (const auto& op : ops)
            std::cout << op.dump() << "\n";
        return err.empty() ? 0 : (std::cerr << err << "\n", 1);
    }
    bool ok = false;
    if (cmd == "create" && argc == 3) {
        auto id = platform::zfs_emul::create_pool(parse(argv[2]), &err);
        if (id)
            std::cout << *id << "\n";
        ok = id.has_value();
    } else if (cmd == "update" && argc == 4) {
        ok = platform::zfs_emul::update_pool(argv[2], parse(argv[3]), &err);
    } else if (cmd == "fault" && argc == 3) {
        ok = platform::zfs_emul::add_fault(parse(argv[2]), &err);
    } else if (cmd == "settings" && argc == 3) {
        ok = platform::zfs_emul::set_settings(parse(argv[2]), &err);
    } else if ((cmd == "fence" || cmd == "unfence") && argc == 3) {
        ok = platform::zfs_emul::fence_host(argv[2], cmd == "fence", &err);
    } else if ((cmd == "host-down" || cmd == "host-up") && argc == 3) {
        ok = platform::zfs_emul::set_host_alive(argv[2], cmd == "host-up", &err);
    } else {
        std::cerr << usage_text;
        return 2;
    }
    if (!ok)
        std::cerr << err << "\n";
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    platform::emul_tool_main("kelm-emul-zfs", run, argc, argv, 1);
}
