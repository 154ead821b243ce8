// An NVMe namespace's reservations through the NVMe pass-through port: Reservation
// Register, Acquire and Release for the operations, Reservation Report for the
// queries and the full report. The device is "/dev/" + name, whatever the name
// holds: configured HA disks are device names, not paths. Construction never
// throws. Every operation issues its command: after a failed open the call fails
// on the invalid descriptor (not delivered), after a failed namespace-id query the
// command carries namespace id 0 and the device rejects it.
// With quiet off the class prints its own messages; with quiet on nothing.
//
// Not safe for concurrent use.
#pragma once

#include "reservation/nvme_resv_format.hpp"
#include "reservation/resv.hpp"

namespace FreeBSD::reservation {

class nvme final : public resv {
public:
    nvme(const std::string& name, bool quiet) noexcept;
    ~nvme() override;

    bool registrate(uint64_t key) override;
    bool unregistrate(uint64_t key) override;
    bool release(uint64_t key) override;
    bool acquire(uint64_t key) override;
    bool preempt(uint64_t own_key, uint64_t victim_key) override;
    bool is_registered(uint32_t node) override;
    bool holds(uint32_t node) override;
    bool registered_key(uint32_t node, uint64_t& key) override;

    resv_state report();
    const std::string& path() const { return path_; }

private:
    // `conflict_expected`: a Reservation Conflict answer is not printed (the
    // caller sends another command for it).
    bool out(nvme_op op, uint64_t key, uint64_t victim_key, bool conflict_expected = false);
    bool issue(platform::nvme::pt_command& pt, const char* label, bool conflict_expected = false);

    int fd_ = -1;
    uint32_t nsid_ = 0;
    bool conflict_ = false;  // the last completion was Reservation Conflict
    bool quiet_;
    std::string path_;
};

}  // namespace FreeBSD::reservation
