// nodefence: fences or unfences one configured node from this node.
#include "nodeactions/action_main.hpp"
#include "nodeactions/nodefence_actions.hpp"
#include "platform/process.hpp"

int main(int argc, char** argv)
{
    using namespace nodeactions;
    const program_spec spec{"node", "nodefence", nodefence::usage, {"fence-on", "fence-off"}, nodefence::wrong_action};
    platform::process_exit(action_main(argc, argv, spec, nodefence::run));
}
