// NVMe reservations over the NVMe pass-through port (nvme.hpp).
#include "reservation/nvme.hpp"

#include <cstdio>
#include <memory>
#include <new>

namespace FreeBSD::reservation {

namespace nv = platform::nvme;

nvme::nvme(const std::string& name, bool quiet) noexcept : resv(name), quiet_(quiet)
{
    try {
        path_ = "/dev/" + name;
        fd_ = nv::open_device(path_);
        if (fd_ < 0) {
            if (!quiet_)
                std::fprintf(stderr, "Can't open: %s\n", path_.c_str());
            error_kind_ = resv_not_delivered;
            return;
        }
        uint32_t nsid = 0;
        if (nv::get_nsid(fd_, &nsid) != 0 || nsid == 0) {
            if (!quiet_)
                std::fprintf(stderr, "Can't get namespace ID\n");
            error_kind_ = resv_not_delivered;
            return;
        }
        nsid_ = nsid;
        if (!quiet_) {
            std::fprintf(stdout, "Done: path: %s, namespace ID: %u\n", path_.c_str(), nsid_);
            std::fflush(stdout);
        }
    } catch (...) {
        error_kind_ = resv_not_delivered;
    }
}

nvme::~nvme()
{
    if (fd_ >= 0)
        nv::close_device(fd_);
}

bool nvme::issue(nv::pt_command& pt, const char* label, bool conflict_expected)
{
    // A device whose open failed still sends: the call fails on the invalid
    // descriptor (EBADF on FreeBSD as here). One whose namespace id is unknown
    // sends with id 0 and the device rejects it.
    conflict_ = false;
    if (nv::passthrough(fd_, &pt) != 0) {
        error_kind_ = resv_not_delivered;
        if (!quiet_)
            std::fprintf(stderr, "%s failed, ioctl error.\n", label);
        return false;
    }
    error_kind_ = nvme_status_kind(pt.cpl.status);
    conflict_ = (pt.cpl.status & nv::STATUS_MASK) == nv::STATUS_RESERVATION_CONFLICT;
    if (error_kind_ != resv_ok) {
        if (!quiet_ && !(conflict_expected && conflict_))
            std::fprintf(stderr, "%s failed, CPL error.\n", label);
        return false;
    }
    return true;
}

bool nvme::out(nvme_op op, uint64_t key, uint64_t victim_key, bool conflict_expected)
{
    nvme_out_command c = nvme_out_for(op, key, victim_key);
    auto pt = nvme_request(c, nsid_, c.data.data());
    return issue(pt, c.label, conflict_expected);
}

// IEKEY does not let Register re-key an initiator registered under another key:
// the namespace answers Reservation Conflict, and Replace with IEKEY sets the new
// key whatever the old one was. Replace on an initiator that is not registered
// is a conflict too, so Register comes first. (No real namespace here has
// confirmed the conflict; the NVMe base standard says so, the emulation does it.)
bool nvme::registrate(uint64_t key)
{
    if (out(nvme_op::registrate, key, 0, true) || !conflict_)
        return error_kind_ == resv_ok;
    return out(nvme_op::rekey, key, 0);
}

bool nvme::unregistrate(uint64_t key)
{
    return out(nvme_op::unregistrate, key, 0);
}

bool nvme::release(uint64_t key)
{
    return out(nvme_op::release, key, 0);
}

bool nvme::acquire(uint64_t key)
{
    return out(nvme_op::acquire, key, 0);
}

bool nvme::preempt(uint64_t own_key, uint64_t victim_key)
{
    return out(nvme_op::preempt, own_key, victim_key);
}

resv_state nvme::report()
{
    resv_state s;
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[nvme_report_bytes]());
    if (!buf) {
        error_kind_ = resv_not_delivered;
        s.error_kind = error_kind_;
        s.error_text = "reservation report was not delivered to the device";
        return s;
    }
    auto pt = nvme_report_request(nsid_, buf.get());
    if (!issue(pt, "Report")) {
        s.error_kind = error_kind_;
        s.error_text = error_kind_ == resv_not_delivered ? "reservation report was not delivered to the device"
                                                         : "device rejected reservation report";
        return s;
    }
    return parse_nvme_report({buf.get(), nvme_report_bytes});
}

bool nvme::is_registered(uint32_t node)
{
    uint64_t key = 0;
    return registered_key(node, key);
}

bool nvme::holds(uint32_t node)
{
    auto s = report();
    if (!s.ok)
        return false;
    for (const auto& r : s.registrants) {
        if (key_node(r.key) == node && r.holder)
            return true;
    }
    return false;
}

bool nvme::registered_key(uint32_t node, uint64_t& key)
{
    auto s = report();
    if (!s.ok)
        return false;
    for (const auto& r : s.registrants) {
        if (key_node(r.key) == node) {
            key = r.key;
            return true;
        }
    }
    return false;
}

}  // namespace FreeBSD::reservation
