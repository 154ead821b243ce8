// Starts the management application when the daemon is loaded. Built only into
// `kelm` (an object library, so the linker cannot drop it as an unreferenced
// archive member). An initialiser without priority: it runs after the daemon's
// earliest one has blocked the stop signals, so the thread inherits the block.
// The thread is started first, then the command tables are built; both before
// main, and no activation (the only user of the tables) can begin before main
// has started the monitor.
#include "daemon/mgmt/mgmt_app.hpp"
#include "daemon/mgmt/mgmt_tables.hpp"

namespace {

struct mgmt_autostart {
    mgmt_autostart()
    {
        mgmt::mgmtapp_start_thread();
        mgmt::mgmt_tables_init();
    }
};

const mgmt_autostart start_mgmt_app;

}  // namespace
