// The status command: every node with the services that run on it, then the
// services whose status the daemon could not give; a table or one JSON document.
#pragma once

namespace cli {

// Sends the node status and service status requests, prints, and returns the exit
// status: 11 when some service item failed, else 0.
int cluster_status(bool json_output);

}  // namespace cli
