// The HA disk report of `pellix-cluster ha disk status`: who is registered on and
// who holds the persistent reservation of each disk of the HA fencing group, and
// whether one node holds the quorum the daemon's disk voter needs. This file owns
// the pure part: the context read from the configuration, the per-disk reports,
// the summary and the two renderings (table and JSON). Reading the disks and
// printing live in ha_disk_status.cpp. Single-threaded.
//
// Node ids double as reservation keys, so every key is labelled with the
// configured node that owns it.
#pragma once

#include "cli/command_line.hpp"
#include "reservation/resv.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cli {

struct ha_node {
    uint32_t id = 0;
    std::string nodename;  // empty when the configuration gives none
};

struct ha_context {
    bool ok = false;
    std::string error;                    // why not ok
    std::vector<std::string> disks;       // configuration order
    std::vector<ha_node> nodes;           // configuration order
    std::optional<uint32_t> own_id;       // --id, else found by host name
    std::string own_name;                 // may be empty
    bool pair = false;                    // exactly two configured nodes
    std::optional<uint32_t> peer_id;
};

struct disk_report {
    std::string name;
    bool nvme = false;  // protocol: nvme, else scsi
    FreeBSD::reservation::resv_state state;
};

struct disk_summary {
    uint64_t configured = 0;
    uint64_t read = 0;
    uint64_t failed = 0;
    uint64_t our_key_registered = 0;
    uint64_t reserved = 0;
    uint64_t all_registrants = 0;
    uint64_t unexpected_type = 0;
    uint64_t truncated = 0;
    struct holder {
        uint64_t key;
        uint64_t disks;
    };
    std::vector<holder> holders;  // ascending key order
    uint64_t quorum_required = 1;
    std::optional<uint64_t> quorum_holder;
};

// The configuration's HA disks and nodes, the own node (--id, else the node whose
// nodename is the host name) and the peer. A node "id" that is not a number (the
// library's type error) or not a 32-bit unsigned integer (std::runtime_error)
// throws: the utility's terminate handler reports it with status 1.
ha_context ha_config_load(const nlohmann::json& config, const std::string& hostname,
                          std::optional<uint32_t> own_id);

disk_summary ha_disk_summary(const ha_context& ctx, const std::vector<disk_report>& reports);

nlohmann::json ha_disk_report_json(const ha_context& ctx, const std::vector<disk_report>& reports,
                                   const disk_summary& summary);
std::string ha_disk_report_table(const ha_context& ctx, const std::vector<disk_report>& reports,
                                 const disk_summary& summary);

// The TYPE cell: "-", a type name, "UNKNOWN" or "UNKNOWN(0x..)".
std::string resv_type_text(const FreeBSD::reservation::resv_state& state);
// "0x2(n2*)", "0x1(n1)", "0x5(?)".
std::string resv_key_label(const ha_context& ctx, uint64_t key);
// The text followed by blanks up to `width`; a longer text is kept whole.
std::string pad_right(const std::string& text, size_t width);

// The exit status of a report: no disk read 14, some failed 15, else 0.
int ha_report_status(const disk_summary& summary);

// What one run prints and returns, for the command and its tests.
struct ha_status_output {
    int status = 0;
    std::string out;  // standard output
    std::string err;  // standard error
};

// The whole command after the configuration was read: warnings, the disks read
// one after the other (each opened quietly as the host the process runs as),
// the summary and the rendering in `format`.
ha_status_output ha_disk_status_run(const nlohmann::json& config, output_format format,
                                    std::optional<uint32_t> own_id, const std::string& hostname, bool root);

// Reads one disk: NVMe when the name contains "nvme", else SCSI; quiet.
disk_report read_disk_report(const std::string& name);

// The command: host name and effective user from the system, output printed.
int ha_disk_status(const nlohmann::json& config, output_format format, std::optional<uint32_t> own_id);

}  // namespace cli
