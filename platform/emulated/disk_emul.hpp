// The emulated shared disks behind the CAM and NVMe ports (platform/cam.hpp,
// platform/nvme.hpp): SCSI disks and NVMe namespaces with persistent
// reservations, shared by every process that acts as an emulated host.
//
// Files, one directory per disk under "$KELM_EMUL_ROOT/disks/<name>/":
//   lock         flocked around every read and write below (platform/emulated/emul_state_file.hpp)
//   state.json   rewritten through a temporary file and rename after every command
//   journal.log  one JSON line per command:
//                {"t": <CLOCK_MONOTONIC ns>, "host": "node1", "op": "preempt",
//                 "key": 1, "sa_key": 2, "type": 3, "status": "GOOD", "generation": 7}
//                ("fault" names an injected fault that answered instead of the disk)
//
// state.json:
//   {"name": "da1", "proto": "scsi" | "nvme", "nsid": 1, "removed": false, "epoch": 1,
//    "generation": 0, "ptpl": false,
//    "registrations": [{"host": "node1", "key": 1}],       // device order
//    "reservation": null | {"host": "node1", "type": 3, "key": 1},  // the protocol's type code
//    "controllers": {"node1": 1}, "next_cntlid": 2,         // NVMe controller ids per host
//    "unit_attention": {"node2": 10755},                     // SCSI: ASC/ASCQ pending per host
//    "faults": [ <fault> ]}
//
// The initiator of a command is the host that opened the device (get_hostname(),
// KELM_EMUL_HOST): processes acting as different nodes are different initiators.
// A removed disk refuses opens (ENXIO) and every command of every handle opened
// before (ENXIO, for good: reinsert starts a new epoch that old handles never see).
// A reinserted disk comes back powered up anew: with "ptpl" false it has no
// registrations and no reservation.
//
// Faults, matched in order, the first active one strikes:
//   {"host": "" (any) | "<host>",
//    "op": "command" (default: every command) | "open" | "ccb" | "nsid" | a command's
//          journal op ("register", "read_keys", "report", ...),
//    "action": "fail"     the call fails with "errno" (default 5, EIO): not delivered
//            | "cam"      SCSI: the CCB completes with "cam_status" (flag bits allowed)
//            | "nvme"     NVMe: the completion carries "nvme_status"
//            | "conflict" a reservation conflict (SCSI status 0x18 / NVMe 0x106)
//            | "delay"    the command waits "delay_ms" first; 5000 ms or more is a
//                         command time-out (SCSI CAM_CMD_TIMEOUT, NVMe ETIMEDOUT),
//                         and the command is not carried out,
//    "times": N (default -1: no limit), "for_ms": M (active for M ms from now),
//    "flap": {"period_ms": P, "down_ms": D} (active only in the first D ms of every
//            P ms, counted from when the fault was added)}
// An injected fault answers instead of the disk: the state is untouched.
#pragma once

#include "platform/nvme.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::disk_emul {

using json = nlohmann::json;

// "<KELM_EMUL_ROOT>/disks"; empty when the platform is not emulated.
std::string disks_dir();

// The disk a configured name stands for: "da1" and "/dev/da1" are the same disk.
// Empty for a name that cannot be a disk (empty, a further "/", a leading dot).
std::string disk_name(const std::string& configured);

// CLOCK_MONOTONIC in nanoseconds (shared by every process on the machine).
int64_t mono_ns();

// ---- administration (kelm-emul-disk, tests) ----

bool create_disk(const std::string& name, const std::string& proto, std::string* err);
std::optional<json> read_disk(const std::string& name, std::string* err);
std::vector<std::string> list_disks();
// Whether `host` may write to the disk now (reservation_state.hpp's may_write);
// false for a disk that does not exist or cannot be read.
bool host_may_write(const std::string& name, const std::string& host);
bool set_removed(const std::string& name, bool removed, std::string* err);
// Adds a fault to the disk named in the fault's "disk" member, or to every disk
// when it is absent or empty.
bool add_fault(json fault, std::string* err);
// Removes the faults of one disk, or of every disk for an empty name.
bool clear_faults(const std::string& name, std::string* err);
std::vector<json> read_journal(const std::string& name, std::string* err);
// Successful pre-emptions, per disk, made by another initiator than the previous
// successful pre-emption of that disk no more than `window_ns` earlier; summed.
int64_t count_dueling(int64_t window_ns, std::string* err);

// A set-up command as `host`, through the same rules as the ports (faults do not
// apply): op "register" (key; 0 unregisters), "reserve" / "release" (type, key),
// "preempt" (type, key, victim key), "clear" (key). `type` is the system's
// reservation type 1..6 (WRITE_EXCLUSIVE .. EXCLUSIVE_ACCESS_AR). Returns the
// journal line; false when refused, with the status text in *err.
bool setup_command(const std::string& name, const std::string& host, const std::string& op, uint32_t type,
                   uint64_t key, uint64_t sa_key, std::string* err);

// ---- used by the emulated ports ----

struct open_result {
    int err = 0;        // errno when the open fails
    int64_t epoch = 0;  // the disk's insertion the handle belongs to
    uint32_t nsid = 0;
};
// Opens disk `name` of protocol `proto` as `host`; `op` is the fault op ("open").
open_result open_disk(const std::string& name, const std::string& proto, const std::string& host);
// Whether a "fail" fault of `op` ("ccb", "nsid") strikes `host` now; its errno.
int fault_errno(const std::string& name, const std::string& host, const std::string& op);

// One SCSI command as the initiator `host` through a handle of insertion `epoch`.
struct scsi_io {
    const uint8_t* cdb = nullptr;
    size_t cdb_len = 0;
    uint32_t flags = 0;  // CAM_DIR_*
    uint8_t* data = nullptr;
    uint32_t dxfer_len = 0;
    uint32_t timeout_ms = 0;
};
struct scsi_done {
    int sys_errno = 0;  // not 0: the send call failed
    uint32_t cam_status = 0;
    uint8_t scsi_status = 0;
    uint8_t sense[18] = {};
    bool sense_valid = false;
    uint32_t transferred = 0;
};
scsi_done scsi_command(const std::string& name, int64_t epoch, const std::string& host, const scsi_io& io);

struct nvme_done {
    int sys_errno = 0;  // not 0: the ioctl failed
    uint16_t status = 0;
};
nvme_done nvme_command(const std::string& name, int64_t epoch, const std::string& host, platform::nvme::pt_command& pt);

// ---- the protocol rules over one disk's state (pure; state changed in place) ----

// What a command did, for the journal and the caller.
struct rule_outcome {
    bool changed = false;  // the state must be stored
    json journal;          // op, key, sa_key, type, status
};
// SCSI: fills `done` (CAM status, SCSI status, sense, data moved into io.data).
rule_outcome scsi_rules(json& disk, const std::string& host, const scsi_io& io, scsi_done& done);
// NVMe: fills `done` (status word or ioctl errno) and the data buffer.
rule_outcome nvme_rules(json& disk, const std::string& host, platform::nvme::pt_command& pt, nvme_done& done);
// The journal op a command will have, for matching faults before it runs.
std::string scsi_op_name(const scsi_io& io);
std::string nvme_op_name(const platform::nvme::command& cmd);

}  // namespace platform::disk_emul
