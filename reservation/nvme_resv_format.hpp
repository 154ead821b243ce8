// The bytes of NVMe reservations (little-endian): the commands each operation
// sends, the Reservation Report parser and the classification of a completion
// status. Pure functions over byte spans, so a report can be fuzzed without a device.
#pragma once

#include "platform/nvme.hpp"
#include "reservation/resv.hpp"

#include <array>
#include <cstdint>
#include <span>

namespace FreeBSD::reservation {

inline constexpr uint32_t nvme_report_bytes = 4096;

// rekey: Register's replace action with IEKEY, for an initiator that a device
// answered Reservation Conflict because it is registered under another key.
enum class nvme_op { registrate, unregistrate, acquire, preempt, release, rekey };

// One reservation command as an operation sends it: opcode, command dword 10,
// the data (CRKEY and NRKEY/PRKEY, or CRKEY alone for release) and its length.
struct nvme_out_command {
    uint8_t opcode = 0;
    uint32_t cdw10 = 0;
    std::array<uint8_t, 16> data{};
    uint32_t length = 16;
    const char* label = "";
};

nvme_out_command nvme_out_for(nvme_op op, uint64_t key, uint64_t victim_key);

// A zero-filled pass-through request for namespace `nsid`: the command's opcode,
// nsid and dword 10, the data buffer, its length and direction.
platform::nvme::pt_command nvme_request(const nvme_out_command& c, uint32_t nsid, void* buf);
platform::nvme::pt_command nvme_report_request(uint32_t nsid, void* buf);

// Parses a Reservation Report; error kind 2 and a text when it is unusable.
resv_state parse_nvme_report(std::span<const uint8_t> answer);

// 0 for success (the phase tag and the bits above status code type are ignored),
// else 2 (rejected).
uint32_t nvme_status_kind(uint16_t status);

}  // namespace FreeBSD::reservation
