// SCSI persistent reservations over the CAM port (scsi.hpp).
#include "reservation/scsi.hpp"

#include <cstdio>
#include <cstring>
#include <functional>
#include <new>

namespace FreeBSD::reservation {

namespace cam = platform::cam;

void build_pr_out(cam::ccb* c, const scsi_out_command& cmd, uint8_t* params)
{
    std::memcpy(params, cmd.params.data(), cmd.params.size());
    cam::persistent_reserve_out(c, scsi_retries, 0, cmd.service_action, 0, cmd.type_code, params,
                                static_cast<uint32_t>(cmd.params.size()), cam::SSD_FULL_SIZE, scsi_timeout_ms);
    c->flags |= cam::CAM_DEV_QFRZDIS;
}

void build_pr_in(cam::ccb* c, int service_action, uint8_t* buf, uint32_t len)
{
    cam::persistent_reserve_in(c, scsi_retries, 0, service_action, buf, len, cam::SSD_FULL_SIZE, scsi_timeout_ms);
    c->flags |= cam::CAM_DEV_QFRZDIS;
}

scsi::scsi(const std::string& name, bool quiet) noexcept : resv(name), quiet_(quiet)
{
    try {
        dev_ = cam::open_device(name);
        if (!dev_) {
            if (!quiet_)
                std::fprintf(stderr, "Can't open: %s\n", name.c_str());
            error_kind_ = resv_not_delivered;
            return;
        }
        ccb_ = cam::get_ccb(*dev_);
        if (!ccb_) {
            if (!quiet_) {
                std::fprintf(stdout, "Can't get ccb %s", name.c_str());
                std::fflush(stdout);
            }
            error_kind_ = resv_not_delivered;
            return;
        }
        path_ = name;
        ready_ = true;
    } catch (...) {
        // Out of memory while opening: the device stays not ready.
        ready_ = false;
        error_kind_ = resv_not_delivered;
    }
}

scsi::~scsi() = default;

namespace {

// CHECK CONDITION with sense key UNIT ATTENTION: the target tells this initiator
// of an event (a pre-emption, a reset, a power-on) instead of running the command.
bool unit_attention(const cam::ccb& c)
{
    if ((c.status & cam::CAM_STATUS_MASK) != cam::CAM_SCSI_STATUS_ERROR || !(c.status & cam::CAM_AUTOSNS_VALID) ||
        c.scsi_status != cam::SCSI_STATUS_CHECK_COND)
        return false;
    const uint8_t code = c.sense_data[0] & 0x7f;
    const uint8_t key = code == 0x72 || code == 0x73 ? c.sense_data[1] & 0x0f : c.sense_data[2] & 0x0f;
    return (code >= 0x70 && code <= 0x73) && key == 0x06;
}

}  // namespace

// The pass-through does no error recovery of its own (FreeBSD's pass(4) without
// CAM_PASS_ERR_RECOVER, as here), so a unit attention comes back as the
// command's answer: the command was not run, and it is sent once more.
bool scsi::send(const char* label, const std::function<void()>& build)
{
    build();
    if (send_once(label, true) || error_kind_ != resv_rejected || !unit_attention(*ccb_))
        return error_kind_ == resv_ok;
    build();
    return send_once(label, false);
}

bool scsi::send_once(const char* label, bool attention_retried)
{
    if (dev_->send_ccb(ccb_.get()) != 0) {
        if (!quiet_) {
            std::fprintf(stdout, "Error sending %s\n", path_.c_str());
            std::fflush(stdout);
        }
        error_kind_ = resv_not_delivered;
        return false;
    }
    error_kind_ = cam_status_kind(ccb_->status);
    if (error_kind_ == resv_ok)
        return true;
    if (!quiet_ && !(attention_retried && unit_attention(*ccb_))) {
        std::fprintf(stdout, "%s %s error\n", path_.c_str(), label);
        std::fflush(stdout);
        cam::error_print(*dev_, *ccb_, cam::CAM_ESF_ALL, cam::CAM_EPF_ALL, stderr);
    }
    return false;
}

bool scsi::out(scsi_op op, uint64_t key, uint64_t victim_key)
{
    if (!ready_) {
        error_kind_ = resv_not_delivered;
        return false;
    }
    scsi_out_command cmd = scsi_out_for(op, key, victim_key);
    uint8_t params[24];
    return send(cmd.label, [&] { build_pr_out(ccb_.get(), cmd, params); });
}

bool scsi::registrate(uint64_t key)
{
    return out(scsi_op::registrate, key, 0);
}

bool scsi::unregistrate(uint64_t key)
{
    return out(scsi_op::unregistrate, key, 0);
}

bool scsi::release(uint64_t key)
{
    return out(scsi_op::release, key, 0);
}

bool scsi::acquire(uint64_t key)
{
    return out(scsi_op::acquire, key, 0);
}

bool scsi::preempt(uint64_t own_key, uint64_t victim_key)
{
    return out(scsi_op::preempt, own_key, victim_key);
}

bool scsi::in(int service_action, const char* label, std::unique_ptr<uint8_t[]>* answer, std::string* error_text)
{
    const bool keys = service_action == cam::SPRI_RK;
    if (!ready_) {
        error_kind_ = resv_not_delivered;
        *error_text = "cannot open device";
        return false;
    }
    answer->reset(new (std::nothrow) uint8_t[scsi_answer_bytes]());
    if (!*answer) {
        error_kind_ = resv_not_delivered;
        *error_text = "cannot allocate answer buffer";
        return false;
    }
    if (send(label, [&] { build_pr_in(ccb_.get(), service_action, answer->get(), scsi_answer_bytes); }))
        return true;
    if (error_kind_ == resv_not_delivered)
        *error_text = keys ? "READ KEYS was not delivered to the device" : "READ RESERVATION was not delivered to the device";
    else
        *error_text = keys ? "device rejected READ KEYS" : "device rejected READ RESERVATION";
    return false;
}

read_keys_result scsi::read_keys()
{
    std::unique_ptr<uint8_t[]> answer;
    read_keys_result r;
    if (!in(cam::SPRI_RK, "read_keys", &answer, &r.error_text))
        return r;
    return parse_read_keys({answer.get(), scsi_answer_bytes});
}

read_reservation_result scsi::read_reservation()
{
    std::unique_ptr<uint8_t[]> answer;
    read_reservation_result r;
    if (!in(cam::SPRI_RR, "read_reservation", &answer, &r.error_text))
        return r;
    return parse_read_reservation({answer.get(), scsi_answer_bytes});
}

bool scsi::is_registered(uint32_t node)
{
    uint64_t key = 0;
    return registered_key(node, key);
}

bool scsi::registered_key(uint32_t node, uint64_t& key)
{
    auto r = read_keys();
    if (!r.ok)
        return false;
    for (uint64_t k : r.keys) {
        if (key_node(k) == node) {
            key = k;
            return true;
        }
    }
    return false;
}

bool scsi::holds(uint32_t node)
{
    auto r = read_reservation();
    if (!r.ok || !r.reserved)
        return false;
    if (r.type_known && all_registrants(r.type))
        return is_registered(node);
    return key_node(r.holder_key) == node;
}

resv_state scsi::report()
{
    resv_state s;
    auto keys = read_keys();
    if (!keys.ok) {
        s.error_kind = error_kind_;
        s.error_text = keys.error_text;
        return s;
    }
    s.generation = keys.generation;
    s.truncated = keys.truncated;
    for (uint64_t k : keys.keys)
        s.registrants.push_back(registrant{k, false, 0, false});
    auto res = read_reservation();
    if (!res.ok) {
        s.error_kind = error_kind_;
        s.error_text = res.error_text;
        return s;
    }
    s.reserved = res.reserved;
    s.raw_type = res.raw_type;
    s.type = res.type;
    s.type_known = res.type_known;
    s.ok = true;
    if (!s.reserved)
        return s;
    if (s.type_known && all_registrants(s.type)) {
        for (auto& r : s.registrants)
            r.holder = true;
        return s;
    }
    s.holder_key = res.holder_key;
    s.holder_known = true;
    for (auto& r : s.registrants)
        r.holder = r.key == s.holder_key;
    return s;
}

}  // namespace FreeBSD::reservation
