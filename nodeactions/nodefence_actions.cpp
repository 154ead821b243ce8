// nodefence's actions: not built yet; every run ends in phase "node".
#include "nodeactions/nodefence_actions.hpp"

#include "nodeactions/phase_log.hpp"

namespace nodeactions::nodefence {

int run(const invocation& inv)
{
    return phase_failed("node", ctx({{"id", inv.target}}), 2, "action not available in this build");
}

}  // namespace nodeactions::nodefence
