// A SCSI disk's persistent reservations through the CAM pass-through port:
// PERSISTENT RESERVE OUT for the operations, PERSISTENT RESERVE IN (READ KEYS,
// READ RESERVATION) for the queries and the full report. Construction never
// throws: a device that cannot be opened stays in place, not ready, and every
// command on it fails as not delivered. With quiet off the class prints its own
// messages to stdout/stderr; with quiet on it prints nothing.
//
// Not safe for concurrent use: one CCB per device, reused by every command.
#pragma once

#include "platform/cam.hpp"
#include "reservation/resv.hpp"
#include "reservation/scsi_pr_format.hpp"

#include <functional>
#include <memory>

namespace FreeBSD::reservation {

// Every command's fixed CCB settings.
inline constexpr uint32_t scsi_retries = 1;
inline constexpr uint32_t scsi_timeout_ms = 5000;
inline constexpr uint32_t scsi_answer_bytes = 65535;

// Builds a PERSISTENT RESERVE OUT into `c` with `params` (24 bytes, copied from
// the command) as its parameter list, then disables device queue freezing.
void build_pr_out(platform::cam::ccb* c, const scsi_out_command& cmd, uint8_t* params);
// Builds a PERSISTENT RESERVE IN of `service_action` into `c` answering into `buf`.
void build_pr_in(platform::cam::ccb* c, int service_action, uint8_t* buf, uint32_t len);

class scsi final : public resv {
public:
    scsi(const std::string& name, bool quiet) noexcept;
    ~scsi() override;

    bool registrate(uint64_t key) override;
    bool unregistrate(uint64_t key) override;
    bool release(uint64_t key) override;
    bool acquire(uint64_t key) override;
    bool preempt(uint64_t own_key, uint64_t victim_key) override;
    bool is_registered(uint32_t node) override;
    bool holds(uint32_t node) override;
    bool registered_key(uint32_t node, uint64_t& key) override;

    read_keys_result read_keys();
    read_reservation_result read_reservation();
    resv_state report();

private:
    bool out(scsi_op op, uint64_t key, uint64_t victim_key);
    // Runs a PERSISTENT RESERVE IN into a new answer buffer; false with the error
    // kind and text set when it failed.
    bool in(int service_action, const char* label, std::unique_ptr<uint8_t[]>* answer, std::string* error_text);
    // Builds the command in the CCB and sends it; a unit attention answer gets
    // the command built and sent once more.
    bool send(const char* label, const std::function<void()>& build);
    // `attention_retried`: a unit attention answer is not printed (it is retried).
    bool send_once(const char* label, bool attention_retried);

    bool ready_ = false;
    std::unique_ptr<platform::cam::device> dev_;
    std::string path_;
    std::unique_ptr<platform::cam::ccb> ccb_;
    bool quiet_;
};

}  // namespace FreeBSD::reservation
