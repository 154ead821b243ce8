// NVMe reservation bytes (nvme_resv_format.hpp).
#include "reservation/nvme_resv_format.hpp"

#include <algorithm>

namespace FreeBSD::reservation {

namespace {

namespace nv = platform::nvme;

constexpr uint32_t exclusive_access = 2;

void put_le64(uint8_t* p, uint64_t v)
{
    for (int i = 0; i < 8; ++i, v >>= 8)
        p[i] = static_cast<uint8_t>(v);
}

uint64_t le(const uint8_t* p, int bytes)
{
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

}  // namespace

nvme_out_command nvme_out_for(nvme_op op, uint64_t key, uint64_t victim_key)
{
    nvme_out_command c;
    switch (op) {
    case nvme_op::registrate:  // register, ignore existing key; NRKEY
        c.opcode = nv::OPC_RESERVATION_REGISTER;
        c.cdw10 = 8;
        put_le64(c.data.data() + 8, key);
        c.label = "Registration";
        break;
    case nvme_op::rekey:  // replace, ignore existing key; NRKEY
        c.opcode = nv::OPC_RESERVATION_REGISTER;
        c.cdw10 = 2 | 8;
        put_le64(c.data.data() + 8, key);
        c.label = "Registration";
        break;
    case nvme_op::unregistrate:  // unregister; CRKEY
        c.opcode = nv::OPC_RESERVATION_REGISTER;
        c.cdw10 = 1;
        put_le64(c.data.data(), key);
        c.label = "Unregistration";
        break;
    case nvme_op::acquire:
        c.opcode = nv::OPC_RESERVATION_ACQUIRE;
        c.cdw10 = exclusive_access << 8;
        put_le64(c.data.data(), key);
        c.label = "Acquire";
        break;
    case nvme_op::preempt:
        c.opcode = nv::OPC_RESERVATION_ACQUIRE;
        c.cdw10 = (exclusive_access << 8) | 1;
        put_le64(c.data.data(), key);
        put_le64(c.data.data() + 8, victim_key);
        c.label = "Preempt";
        break;
    case nvme_op::release:
        c.opcode = nv::OPC_RESERVATION_RELEASE;
        c.cdw10 = exclusive_access << 8;
        put_le64(c.data.data(), key);
        c.length = 8;
        c.label = "Release";
        break;
    }
    return c;
}

nv::pt_command nvme_request(const nvme_out_command& c, uint32_t nsid, void* buf)
{
    nv::pt_command pt;
    pt.cmd.opc = c.opcode;
    pt.cmd.nsid = nsid;
    pt.cmd.cdw10 = c.cdw10;
    pt.buf = buf;
    pt.len = c.length;
    pt.is_read = 0;
    return pt;
}

nv::pt_command nvme_report_request(uint32_t nsid, void* buf)
{
    nv::pt_command pt;
    pt.cmd.opc = nv::OPC_RESERVATION_REPORT;
    pt.cmd.nsid = nsid;
    pt.cmd.cdw10 = nvme_report_bytes / 4 - 1;
    pt.buf = buf;
    pt.len = nvme_report_bytes;
    pt.is_read = 1;
    return pt;
}

resv_state parse_nvme_report(std::span<const uint8_t> answer)
{
    resv_state s;
    if (answer.size() < 24) {
        s.error_kind = resv_rejected;
        s.error_text = "reservation report is shorter than its header";
        return s;
    }
    const uint8_t* p = answer.data();
    s.generation = static_cast<uint32_t>(le(p, 4));
    s.raw_type = p[4];
    s.reserved = s.raw_type != 0;
    if (s.reserved && s.raw_type <= 6) {
        s.type_known = true;
        s.type = s.raw_type;
    }
    s.ptpl = p[9] & 1;
    s.ptpl_known = true;
    size_t listed = le(p + 5, 2);
    size_t available = (answer.size() - 24) / 24;
    s.truncated = listed > available;
    size_t n = std::min(listed, available);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* e = p + 24 + 24 * i;
        registrant r;
        r.controller_id = static_cast<uint16_t>(le(e, 2));
        r.controller_id_known = true;
        r.holder = e[2] & 1;
        r.key = le(e + 16, 8);
        if (r.holder && !s.holder_known) {
            s.holder_key = r.key;
            s.holder_known = true;
        }
        s.registrants.push_back(r);
    }
    if (s.type_known && all_registrants(s.type))
        s.holder_known = false;
    s.ok = true;
    return s;
}

uint32_t nvme_status_kind(uint16_t status)
{
    return (status & nv::STATUS_MASK) == 0 ? resv_ok : resv_rejected;
}

}  // namespace FreeBSD::reservation
