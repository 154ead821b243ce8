// poolrun: one service action (start, stop, recovery) on this node.
#include "nodeactions/action_main.hpp"
#include "nodeactions/poolrun_actions.hpp"
#include "platform/process.hpp"

int main(int argc, char** argv)
{
    using namespace nodeactions;
    const program_spec spec{"svc", "poolrun", poolrun::usage, {"start", "stop", "recovery"}, poolrun::wrong_action};
    platform::process_exit(action_main(argc, argv, spec, poolrun::run));
}
