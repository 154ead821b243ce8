// The two system tools that fence a node (the CAM target layer control tool and
// the iSCSI initiator control tool): where they live and the initiator-name
// prefix of the operating system.
//
// Tool paths. Production (KELM_EMUL_ROOT unset): the fixed FreeBSD paths. With
// the platform emulated, in this order:
//   1. "<KELM_EMUL_ROOT>/fs<production path>" when something is there (a file
//      or a link, even a dangling one): a test plants its own program, a broken
//      one, or a link to a stand-in;
//   2. otherwise the stand-in beside the running program, "kelm-emul-" and the
//      tool's file name ("kelm-emul-ctladm", "kelm-emul-iscsictl"), which is how
//      nodefence in the build's bin dir, started by hand or by the Runner, finds
//      them with no set-up.
// The stand-ins keep their state under "<KELM_EMUL_ROOT>/fence" (emulated/fence_emul.hpp).
#pragma once

#include <string>

namespace platform {

inline constexpr const char* ctladm_path = "/usr/sbin/ctladm";
inline constexpr const char* iscsictl_path = "/usr/bin/iscsictl";

// The operating system's default iSCSI initiator-name prefix; the initiator name
// of a host is this prefix followed by its host name.
inline constexpr const char* iscsi_initiator_prefix = "iqn.1994-09.org.freebsd:";

// The path to execute for a fixed tool path (rules above).
std::string tool_path(const std::string& production_path);

// Directory of the running executable; empty when it cannot be read.
std::string executable_dir();

}  // namespace platform
