// kelm-emul-fence: sets up the emulated CTL ports and iSCSI sessions, scripts the
// stand-ins' answers and prints the state and the call log, for tests and demos.
#include "platform/emulated/fence_emul.hpp"
#include "platform/emulated/emul_tool.hpp"

#include <fstream>
#include <iostream>
#include <string>

namespace {

using platform::fence_emul::json;

const char* usage_text =
    "usage: kelm-emul-fence show | calls\n"
    "       kelm-emul-fence mesh <config.json>\n"
    "       kelm-emul-fence port <host> '<port json>'\n"
    "       kelm-emul-fence session <host> '<session json>'\n"
    "       kelm-emul-fence patch-port <host> <id> '<merge patch json>'\n"
    "       kelm-emul-fence patch-session <host> <nickname> '<merge patch json>'\n"
    "       kelm-emul-fence fault '<fault json>'\n"
    "(state under $KELM_EMUL_ROOT/fence)\n";

int run(int argc, char** argv)
{
    namespace fe = platform::fence_emul;
    if (argc < 2) {
        std::cerr << usage_text;
        return 2;
    }
    const std::string cmd = argv[1];
    std::string err;
    if (cmd == "show" && argc == 2) {
        auto state = fe::read_state(&err);
        if (state)
            std::cout << state->dump(2) << "\n";
        return state ? 0 : (std::cerr << err << "\n", 1);
    }
    if (cmd == "calls" && argc == 2) {
        for (const auto& c : fe::read_calls(&err))
            std::cout << c.dump() << "\n";
        return err.empty() ? 0 : (std::cerr << err << "\n", 1);
    }
    bool ok = false;
    if (cmd == "mesh" && argc == 3) {
        std::ifstream in(argv[2]);
        if (!in.is_open()) {
            std::cerr << "can't open " << argv[2] << "\n";
            return 1;
        }
        ok = fe::build_mesh(json::parse(in), &err);
    } else if (cmd == "port" && argc == 4) {
        ok = fe::put_port(argv[2], json::parse(argv[3]), &err);
    } else if (cmd == "session" && argc == 4) {
        ok = fe::put_session(argv[2], json::parse(argv[3]), &err);
    } else if (cmd == "patch-port" && argc == 5) {
        ok = fe::patch_port(argv[2], std::stoll(argv[3]), json::parse(argv[4]), &err);
    } else if (cmd == "patch-session" && argc == 5) {
        ok = fe::patch_session(argv[2], argv[3], json::parse(argv[4]), &err);
    } else if (cmd == "fault" && argc == 3) {
        ok = fe::add_fault(json::parse(argv[2]), &err);
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
    platform::emul_tool_main("kelm-emul-fence", run, argc, argv, 2);
}
