// poolrun's actions: not built yet; every run ends in phase "service".
#include "nodeactions/poolrun_actions.hpp"

#include "nodeactions/phase_log.hpp"

namespace nodeactions::poolrun {

int run(const invocation& inv)
{
    return phase_failed("service", ctx({{"name", inv.target}}), 2, "action not available in this build");
}

}  // namespace nodeactions::poolrun
