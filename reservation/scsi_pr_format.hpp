// The bytes of SCSI persistent reservations (SPC, big-endian): the PERSISTENT
// RESERVE OUT parameter list, the READ KEYS and READ RESERVATION answers, the
// type codes and the classification of a CAM status. Pure functions over byte
// spans, so every device answer can be fuzzed without a device.
#pragma once

#include "reservation/resv.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace FreeBSD::reservation {

struct read_keys_result {
    bool ok = false;
    std::string error_text;
    uint32_t generation = 0;
    bool truncated = false;
    std::vector<uint64_t> keys;
};

struct read_reservation_result {
    bool ok = false;
    std::string error_text;
    uint32_t generation = 0;
    bool reserved = false;
    uint8_t raw_type = 0;
    uint32_t type = resv_type_unknown;
    bool type_known = false;
    uint64_t holder_key = 0;
};

// One PERSISTENT RESERVE OUT as an operation sends it.
struct scsi_out_command {
    int service_action = 0;
    int type_code = 0;
    std::array<uint8_t, 24> params{};
    const char* label = "";
};

enum class scsi_op { registrate, unregistrate, acquire, preempt, release };

// The service action, type code, 24-byte parameter list (key in bytes 0-7 and/or
// service action key in bytes 8-15, each big-endian) and label of an operation.
scsi_out_command scsi_out_for(scsi_op op, uint64_t key, uint64_t victim_key);

// SPC type code (low nibble) to the system's type: 1, 3, 5, 6, 7, 8 → 1..6.
uint32_t scsi_type_from_code(uint8_t code, bool* known);
// The system's type to its SPC code (0 for an unknown type).
uint8_t scsi_code_from_type(uint32_t type);

read_keys_result parse_read_keys(std::span<const uint8_t> answer);
read_reservation_result parse_read_reservation(std::span<const uint8_t> answer);

// The error kind of a CCB status (flag bits above the code are ignored):
// 0 completed, 1 not delivered (transport-level), 2 rejected (anything else).
uint32_t cam_status_kind(uint32_t status);

}  // namespace FreeBSD::reservation
