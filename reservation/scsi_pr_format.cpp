// SCSI persistent reservation bytes (scsi_pr_format.hpp).
#include "reservation/scsi_pr_format.hpp"

#include "platform/cam.hpp"

#include <algorithm>

namespace FreeBSD::reservation {

namespace {

uint32_t be32(const uint8_t* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint64_t be64(const uint8_t* p)
{
    return (uint64_t{be32(p)} << 32) | be32(p + 4);
}

// A key field of the parameter list: 8 bytes, big-endian.
void put_key(uint8_t* p, uint64_t key)
{
    for (int i = 7; i >= 0; --i, key >>= 8)
        p[i] = static_cast<uint8_t>(key);
}

}  // namespace

const char* resv_type_name(uint32_t type)
{
    static const char* names[] = {"WRITE_EXCLUSIVE", "EXCLUSIVE_ACCESS", "WRITE_EXCLUSIVE_RO",
                                  "EXCLUSIVE_ACCESS_RO", "WRITE_EXCLUSIVE_AR", "EXCLUSIVE_ACCESS_AR"};
    return type >= 1 && type <= 6 ? names[type - 1] : "UNKNOWN";
}

scsi_out_command scsi_out_for(scsi_op op, uint64_t key, uint64_t victim_key)
{
    namespace cam = platform::cam;
    scsi_out_command c;
    constexpr int exclusive_access = 3;
    switch (op) {
    case scsi_op::registrate:
        c = {cam::SPRO_REG_IGNO, 0, {}, "registrate"};
        put_key(c.params.data() + 8, key);
        break;
    case scsi_op::unregistrate:
        c = {cam::SPRO_REG_IGNO, 0, {}, "unregistrate"};
        put_key(c.params.data() + 0, key);
        break;
    case scsi_op::acquire:
        c = {cam::SPRO_RESERVE, exclusive_access, {}, "acquire"};
        put_key(c.params.data() + 0, key);
        put_key(c.params.data() + 8, key);
        break;
    case scsi_op::preempt:
        c = {cam::SPRO_PREEMPT, exclusive_access, {}, "preempt"};
        put_key(c.params.data() + 0, key);
        put_key(c.params.data() + 8, victim_key);
        break;
    case scsi_op::release:
        c = {cam::SPRO_RELEASE, exclusive_access, {}, "release"};
        put_key(c.params.data() + 0, key);
        break;
    }
    return c;
}

uint32_t scsi_type_from_code(uint8_t code, bool* known)
{
    static const uint32_t types[16] = {0, WRITE_EXCLUSIVE, 0, EXCLUSIVE_ACCESS, 0, WRITE_EXCLUSIVE_RO,
                                       EXCLUSIVE_ACCESS_RO, WRITE_EXCLUSIVE_AR, EXCLUSIVE_ACCESS_AR};
    uint32_t t = types[code & 0x0f];
    *known = t != 0;
    return t;
}

uint8_t scsi_code_from_type(uint32_t type)
{
    static const uint8_t codes[] = {0, 1, 3, 5, 6, 7, 8};
    return type <= 6 ? codes[type] : 0;
}

read_keys_result parse_read_keys(std::span<const uint8_t> answer)
{
    read_keys_result r;
    if (answer.size() < 8) {
        r.error_text = "READ KEYS answer is shorter than its header";
        return r;
    }
    r.generation = be32(answer.data());
    uint64_t additional = be32(answer.data() + 4);
    uint64_t after = answer.size() - 8;
    r.truncated = after < additional;
    uint64_t usable = std::min(additional, after);
    for (uint64_t off = 0; off + 8 <= usable; off += 8)
        r.keys.push_back(be64(answer.data() + 8 + off));
    r.ok = true;
    return r;
}

read_reservation_result parse_read_reservation(std::span<const uint8_t> answer)
{
    read_reservation_result r;
    if (answer.size() < 8) {
        r.error_text = "READ RESERVATION answer is shorter than its header";
        return r;
    }
    r.generation = be32(answer.data());
    uint32_t additional = be32(answer.data() + 4);
    if (additional == 0) {
        r.ok = true;
        return r;
    }
    if (additional >= 14 && answer.size() - 8 > 13) {
        const uint8_t* d = answer.data() + 8;
        r.reserved = true;
        r.raw_type = d[13] & 0x0f;  // the scope in the high nibble is ignored
        r.type = scsi_type_from_code(r.raw_type, &r.type_known);
        r.holder_key = be64(d);
        r.ok = true;
        return r;
    }
    r.error_text = "reservation descriptor is truncated";
    return r;
}

uint32_t cam_status_kind(uint32_t status)
{
    namespace cam = platform::cam;
    switch (status & cam::CAM_STATUS_MASK) {
    case cam::CAM_REQ_CMP:
        return resv_ok;
    case cam::CAM_PATH_INVALID:
    case cam::CAM_DEV_NOT_THERE:
    case cam::CAM_SEL_TIMEOUT:
    case cam::CAM_CMD_TIMEOUT:
    case cam::CAM_SCSI_BUS_RESET:
    case cam::CAM_UNCOR_PARITY:
    case cam::CAM_NO_HBA:
    case cam::CAM_DATA_RUN_ERR:
    case cam::CAM_UNEXP_BUSFREE:
    case cam::CAM_REQ_TERMIO:
    case cam::CAM_UNREC_HBA_ERROR:
        return resv_not_delivered;
    default:
        return resv_rejected;
    }
}

}  // namespace FreeBSD::reservation
