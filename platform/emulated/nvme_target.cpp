// The emulated NVMe namespace's reservation commands, as the NVMe base
// standard defines them: Reservation Register (register with or without
// IEKEY, unregister, replace; CPTPL), Acquire (acquire, preempt, preempt and
// abort), Release (release, clear) and Report (little-endian, 24-byte controller
// entries, cut at the buffer). Status words are SC << 1 | SCT << 9. A buffer that
// does not match the command (direction, length) fails the ioctl with EINVAL, as
// the driver cannot map it. Pure over one disk's state; the caller holds the lock.
#include "platform/emulated/disk_emul.hpp"
#include "platform/emulated/reservation_state.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace platform::disk_emul {

namespace {

namespace rs = resv_state;
namespace nv = platform::nvme;

uint64_t le64(const uint8_t* p)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

void put_le(uint8_t* p, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i, v >>= 8)
        p[i] = static_cast<uint8_t>(v);
}

bool all_registrants(uint32_t t)
{
    return t == 5 || t == 6;
}

uint16_t controller_id(json& disk, const std::string& host, bool* changed)
{
    json& ids = disk["controllers"];
    if (!ids.is_object())
        ids = json::object();
    auto it = ids.find(host);
    if (it != ids.end())
        return it->get<uint16_t>();
    uint16_t id = disk.value("next_cntlid", uint16_t{1});
    ids[host] = id;
    disk["next_cntlid"] = static_cast<uint16_t>(id + 1);
    *changed = true;
    return id;
}

struct result {
    nv::pt_command& pt;
    nvme_done& done;
    rule_outcome& out;

    void status(uint16_t s, const char* text)
    {
        done.status = s;
        out.journal["status"] = text;
    }
    void good() { status(0, "SUCCESS"); }
    void conflict() { status(nv::STATUS_RESERVATION_CONFLICT, "RESERVATION CONFLICT"); }
    void invalid() { status(nv::STATUS_INVALID_FIELD, "INVALID FIELD"); }
    void einval()
    {
        done.sys_errno = EINVAL;
        out.journal["status"] = "EINVAL";
    }
};

// The data a write command carries, or null when the buffer cannot be it.
const uint8_t* write_data(nv::pt_command& pt, uint32_t need)
{
    if (pt.is_read != 0 || pt.buf == nullptr || pt.len < need)
        return nullptr;
    return static_cast<const uint8_t*>(pt.buf);
}

void do_register(json& disk, const std::string& host, result& r)
{
    uint32_t cdw10 = r.pt.cmd.cdw10;
    const uint8_t* d = write_data(r.pt, 16);
    if (d == nullptr)
        return r.einval();
    uint32_t action = cdw10 & 7;
    bool iekey = cdw10 & 8;
    uint32_t cptpl = cdw10 >> 30;
    uint64_t crkey = le64(d);
    uint64_t nrkey = le64(d + 8);
    r.out.journal["op"] = action == 0 ? "register" : action == 1 ? "unregister" : action == 2 ? "replace" : "register";
    r.out.journal["key"] = crkey;
    r.out.journal["sa_key"] = nrkey;
    if (action > 2 || cptpl == 1)
        return r.invalid();
    auto own = rs::key_of(disk, host);
    bool ar = all_registrants(rs::res_type(disk));
    if (action == 0) {
        // IEKEY waives only the CRKEY check of unregister and replace: a
        // registrant asking to register another key is refused whatever it says.
        if (own && *own != nrkey)
            return r.conflict();
        rs::set_key(disk, host, nrkey);
    } else {
        if (!own || (!iekey && *own != crkey))
            return r.conflict();
        if (action == 1)
            rs::unregister(disk, host, ar);
        else
            rs::set_key(disk, host, nrkey);
    }
    if (cptpl >= 2)
        disk["ptpl"] = cptpl == 3;
    rs::bump_generation(disk);
    r.out.changed = true;
    r.good();
}

void do_acquire(json& disk, const std::string& host, result& r)
{
    uint32_t cdw10 = r.pt.cmd.cdw10;
    const uint8_t* d = write_data(r.pt, 16);
    if (d == nullptr)
        return r.einval();
    uint32_t action = cdw10 & 7;
    uint32_t type = (cdw10 >> 8) & 0xff;
    uint64_t crkey = le64(d);
    uint64_t prkey = le64(d + 8);
    r.out.journal["op"] = action == 0 ? "acquire" : action == 1 ? "preempt" : "preempt_abort";
    r.out.journal["key"] = crkey;
    r.out.journal["sa_key"] = prkey;
    r.out.journal["type"] = type;
    if (action > 2 || type < 1 || type > 6)
        return r.invalid();
    auto own = rs::key_of(disk, host);
    if (!own || *own != crkey)
        return r.conflict();
    bool ar = all_registrants(rs::res_type(disk));
    if (action == 0) {
        if (rs::reserved(disk)) {
            if (rs::holds(disk, host, ar) && rs::res_type(disk) == type)
                return r.good();
            return r.conflict();
        }
        rs::reserve(disk, host, type, crkey);
        r.out.changed = true;
        return r.good();
    }
    if (prkey == 0) {
        if (!ar)
            return r.invalid();
        rs::remove_others(disk, host);
        rs::reserve(disk, host, type, crkey);
    } else if (rs::reserved(disk) && !ar && disk["reservation"].at("key").get<uint64_t>() == prkey) {
        rs::drop_reservation(disk);
        rs::remove_key(disk, prkey, host, false);
        rs::reserve(disk, host, type, crkey);
    } else if (rs::remove_key(disk, prkey, host, ar) == 0) {
        return r.conflict();
    }
    rs::bump_generation(disk);
    r.out.changed = true;
    r.good();
}

void do_release(json& disk, const std::string& host, result& r)
{
    uint32_t cdw10 = r.pt.cmd.cdw10;
    const uint8_t* d = write_data(r.pt, 8);
    if (d == nullptr)
        return r.einval();
    uint32_t action = cdw10 & 7;
    uint32_t type = (cdw10 >> 8) & 0xff;
    uint64_t crkey = le64(d);
    r.out.journal["op"] = action == 1 ? "clear" : "release";
    r.out.journal["key"] = crkey;
    r.out.journal["type"] = type;
    if (action > 1)
        return r.invalid();
    auto own = rs::key_of(disk, host);
    if (!own || *own != crkey)
        return r.conflict();
    if (action == 1) {
        disk["registrations"] = json::array();
        rs::drop_reservation(disk);
        rs::bump_generation(disk);
        r.out.changed = true;
        return r.good();
    }
    bool ar = all_registrants(rs::res_type(disk));
    if (!rs::holds(disk, host, ar))
        return r.good();
    if (rs::res_type(disk) != type)
        return r.invalid();
    rs::drop_reservation(disk);
    r.out.changed = true;
    r.good();
}

void do_report(json& disk, result& r)
{
    r.out.journal["op"] = "report";
    uint64_t want = (uint64_t{r.pt.cmd.cdw10} + 1) * 4;
    if (r.pt.is_read == 0 || r.pt.buf == nullptr || r.pt.len < want)
        return r.einval();
    if (r.pt.cmd.cdw11 & 1)  // the extended data structure (128-bit host ids) is not offered
        return r.invalid();
    const json& regs = disk["registrations"];
    std::vector<uint8_t> answer(24 + 24 * regs.size(), 0);
    put_le(answer.data(), disk.value("generation", uint32_t{0}), 4);
    uint32_t type = rs::res_type(disk);
    answer[4] = static_cast<uint8_t>(type);
    put_le(answer.data() + 5, regs.size(), 2);
    answer[9] = disk.value("ptpl", false) ? 1 : 0;
    bool ar = all_registrants(type);
    for (size_t i = 0; i < regs.size(); ++i) {
        uint8_t* e = answer.data() + 24 + 24 * i;
        std::string host = regs[i].at("host").get<std::string>();
        put_le(e, controller_id(disk, host, &r.out.changed), 2);
        e[2] = rs::holds(disk, host, ar) ? 1 : 0;
        std::memcpy(e + 8, host.data(), std::min<size_t>(8, host.size()));  // host identifier
        put_le(e + 16, regs[i].at("key").get<uint64_t>(), 8);
    }
    size_t n = std::min<uint64_t>(answer.size(), want);
    std::memset(r.pt.buf, 0, want);
    std::memcpy(r.pt.buf, answer.data(), n);
    r.good();
}

}  // namespace

std::string nvme_op_name(const nv::command& cmd)
{
    uint32_t action = cmd.cdw10 & 7;
    switch (cmd.opc) {
    case nv::OPC_RESERVATION_REGISTER:
        return action == 1 ? "unregister" : action == 2 ? "replace" : "register";
    case nv::OPC_RESERVATION_ACQUIRE:
        return action == 0 ? "acquire" : action == 1 ? "preempt" : "preempt_abort";
    case nv::OPC_RESERVATION_RELEASE:
        return action == 1 ? "clear" : "release";
    case nv::OPC_RESERVATION_REPORT:
        return "report";
    default:
        return "nvme";
    }
}

rule_outcome nvme_rules(json& disk, const std::string& host, nv::pt_command& pt, nvme_done& done)
{
    rule_outcome out;
    out.journal["op"] = nvme_op_name(pt.cmd);
    result r{pt, done, out};
    bool known = pt.cmd.opc == nv::OPC_RESERVATION_REGISTER || pt.cmd.opc == nv::OPC_RESERVATION_ACQUIRE ||
                 pt.cmd.opc == nv::OPC_RESERVATION_RELEASE || pt.cmd.opc == nv::OPC_RESERVATION_REPORT;
    if (!known) {
        r.status(nv::STATUS_INVALID_OPCODE, "INVALID OPCODE");
        return out;
    }
    if (pt.cmd.nsid != disk.value("nsid", uint32_t{1})) {
        r.status(nv::STATUS_INVALID_NAMESPACE, "INVALID NAMESPACE");
        return out;
    }
    // Every initiator that talks to the namespace has a controller id.
    controller_id(disk, host, &out.changed);
    switch (pt.cmd.opc) {
    case nv::OPC_RESERVATION_REGISTER:
        do_register(disk, host, r);
        break;
    case nv::OPC_RESERVATION_ACQUIRE:
        do_acquire(disk, host, r);
        break;
    case nv::OPC_RESERVATION_RELEASE:
        do_release(disk, host, r);
        break;
    default:
        do_report(disk, r);
        break;
    }
    return out;
}

}  // namespace platform::disk_emul
