// One disk's persistent-reservation access, whatever its protocol: the interface
// the HA disk voter and the utility's disk report use, the error kinds every
// command sets, the reservation types and the full state record a report returns.
// A node's key is a 64-bit value: its node id in the low 32 bits and, in the
// high 32 bits, the highest Raft term its HA voter has granted or learnt of the
// peer (resv_key). A key written by a node that did not put a term there reads
// as term 0. The operations of the own initiator take the whole key; the queries
// ask about a node, whatever term its key carries.
//
// Concurrency: a device object is not safe for concurrent use; each command uses
// per-object buffers and sets the error kind.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace FreeBSD::reservation {

// The key of `node` carrying `term`; a term beyond 32 bits is kept at the
// largest one that fits, so a key's term never reads lower than a smaller term's.
inline uint64_t resv_key(uint32_t node, uint64_t term)
{
    const uint64_t t = term > UINT32_MAX ? UINT32_MAX : term;
    return (t << 32) | node;
}
inline uint32_t key_node(uint64_t key) { return static_cast<uint32_t>(key); }
inline uint64_t key_term(uint64_t key) { return key >> 32; }

// The outcome of the last command.
enum resv_error_kind : uint32_t {
    resv_ok = 0,
    resv_not_delivered = 1,  // the device could not be opened or the command did not reach it
    resv_rejected = 2,       // the device answered with an error, or its answer was unusable
};

// Reservation types in the system's own numbering.
enum resv_type : uint32_t {
    resv_type_unknown = 0,
    WRITE_EXCLUSIVE = 1,
    EXCLUSIVE_ACCESS = 2,
    WRITE_EXCLUSIVE_RO = 3,
    EXCLUSIVE_ACCESS_RO = 4,
    WRITE_EXCLUSIVE_AR = 5,
    EXCLUSIVE_ACCESS_AR = 6,
};

// "WRITE_EXCLUSIVE" ... "EXCLUSIVE_ACCESS_AR"; "UNKNOWN" for anything else.
const char* resv_type_name(uint32_t type);
// Types 5 and 6: every registered key holds the reservation.
inline bool all_registrants(uint32_t type)
{
    return type == WRITE_EXCLUSIVE_AR || type == EXCLUSIVE_ACCESS_AR;
}

struct registrant {
    uint64_t key = 0;
    bool holder = false;
    uint16_t controller_id = 0;  // NVMe only
    bool controller_id_known = false;
};

// The full reservation state of a disk.
struct resv_state {
    bool ok = false;
    uint32_t error_kind = resv_ok;
    std::string error_text;
    uint32_t generation = 0;
    bool reserved = false;
    uint8_t raw_type = 0;
    uint32_t type = resv_type_unknown;
    bool type_known = false;
    uint64_t holder_key = 0;
    bool holder_known = false;
    bool ptpl = false;  // NVMe only
    bool ptpl_known = false;
    bool truncated = false;
    std::vector<registrant> registrants;
};

class resv {
public:
    explicit resv(std::string name) noexcept : name_(std::move(name)) {}
    virtual ~resv() = default;
    resv(const resv&) = delete;
    resv& operator=(const resv&) = delete;

    // Registers the key, replacing whatever key this initiator had registered.
    virtual bool registrate(uint64_t key) = 0;
    // Removes this initiator's registration, made with the key.
    virtual bool unregistrate(uint64_t key) = 0;
    // Releases the EXCLUSIVE_ACCESS reservation held with the key.
    virtual bool release(uint64_t key) = 0;
    // Takes the EXCLUSIVE_ACCESS reservation with the key.
    virtual bool acquire(uint64_t key) = 0;
    // Removes the victim's registration (and reservation) and takes EXCLUSIVE_ACCESS.
    // The victim key is the one registered, term included (registered_key).
    virtual bool preempt(uint64_t own_key, uint64_t victim_key) = 0;
    // Queries about a node (the low 32 bits of a key): false when the command
    // failed too; error_kind() tells them apart.
    virtual bool is_registered(uint32_t node) = 0;
    virtual bool holds(uint32_t node) = 0;
    // The first registered key of `node`, in the device's order, into `key`.
    virtual bool registered_key(uint32_t node, uint64_t& key) = 0;
    virtual uint32_t error_kind() const { return error_kind_; }
    virtual bool usable() const { return true; }

    const std::string& name() const { return name_; }

protected:
    std::string name_;
    uint32_t error_kind_ = resv_ok;
};

}  // namespace FreeBSD::reservation
