// The emulated SCSI target's PERSISTENT RESERVE IN / OUT, as SPC-4 defines them:
// READ KEYS and READ RESERVATION cut to the allocation length; REGISTER, REGISTER
// AND IGNORE EXISTING KEY, RESERVE, RELEASE, CLEAR, PREEMPT (and PREEMPT AND ABORT,
// which has no tasks to abort here) with the reservation conflict rules, the
// generation counter and ILLEGAL REQUEST sense for what the target refuses. An
// initiator whose registration a PREEMPT or CLEAR removed gets a unit attention
// (RESERVATIONS PREEMPTED): its next command fails once with it, not carried out.
// Pure over one disk's state; the caller holds the disk's lock.
#include "platform/cam.hpp"
#include "platform/emulated/disk_emul.hpp"
#include "platform/emulated/reservation_state.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace platform::disk_emul {

namespace {

namespace rs = resv_state;
using namespace platform::cam;

constexpr uint8_t SENSE_ILLEGAL_REQUEST = 0x05;
constexpr uint8_t SENSE_UNIT_ATTENTION = 0x06;
constexpr uint16_t RESERVATIONS_PREEMPTED = 0x2a03;
// ASC/ASCQ pairs.
constexpr uint16_t INVALID_OPCODE = 0x2000;
constexpr uint16_t INVALID_FIELD_IN_CDB = 0x2400;
constexpr uint16_t INVALID_FIELD_IN_PARAMS = 0x2600;
constexpr uint16_t PARAM_LIST_LENGTH_ERROR = 0x1a00;
constexpr uint16_t INVALID_RELEASE = 0x2604;

uint32_t be32(const uint8_t* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint64_t be64(const uint8_t* p)
{
    return (uint64_t{be32(p)} << 32) | be32(p + 4);
}

void put_be32(uint8_t* p, uint32_t v)
{
    for (int i = 3; i >= 0; --i, v >>= 8)
        p[i] = static_cast<uint8_t>(v);
}

void put_be64(uint8_t* p, uint64_t v)
{
    put_be32(p, static_cast<uint32_t>(v >> 32));
    put_be32(p + 4, static_cast<uint32_t>(v));
}

bool valid_type(uint32_t t)
{
    return t == 1 || t == 3 || t == 5 || t == 6 || t == 7 || t == 8;
}

bool all_registrants(uint32_t t)
{
    return t == 7 || t == 8;
}

const char* out_name(int sa)
{
    static const char* names[] = {"register", "reserve", "release", "clear", "preempt", "preempt_abort",
                                  "register_ignore", "register_move", "replace_lost"};
    return sa < 9 ? names[sa] : "pr_out";
}

// Outcome helpers: each sets the done record and the journal status.
struct result {
    scsi_done& done;
    rule_outcome& out;

    void good() { out.journal["status"] = "GOOD"; }
    void conflict()
    {
        done.cam_status = CAM_SCSI_STATUS_ERROR;
        done.scsi_status = SCSI_STATUS_RESERV_CONFLICT;
        out.journal["status"] = "RESERVATION CONFLICT";
    }
    void check_condition(uint8_t key, const char* key_name, uint16_t asc_ascq)
    {
        done.cam_status = CAM_SCSI_STATUS_ERROR | CAM_AUTOSNS_VALID;
        done.scsi_status = SCSI_STATUS_CHECK_COND;
        std::memset(done.sense, 0, sizeof(done.sense));
        done.sense[0] = 0x70;  // current error, fixed format
        done.sense[2] = key;
        done.sense[7] = 10;
        done.sense[12] = static_cast<uint8_t>(asc_ascq >> 8);
        done.sense[13] = static_cast<uint8_t>(asc_ascq);
        done.sense_valid = true;
        char text[64];
        std::snprintf(text, sizeof(text), "CHECK CONDITION %s %02x/%02x", key_name, asc_ascq >> 8, asc_ascq & 0xff);
        out.journal["status"] = text;
    }
    void illegal(uint16_t asc_ascq) { check_condition(SENSE_ILLEGAL_REQUEST, "ILLEGAL REQUEST", asc_ascq); }
};

// Hosts registered now, in device order.
std::vector<std::string> registered_hosts(const json& disk)
{
    std::vector<std::string> hosts;
    if (disk.contains("registrations") && disk["registrations"].is_array())
        for (const auto& reg : disk["registrations"])
            hosts.push_back(reg.at("host").get<std::string>());
    return hosts;
}

// Every host of `before` that lost its registration, but `actor`, gets a unit
// attention: its next command fails once with it, whatever the command.
void preempted_attention(json& disk, const std::vector<std::string>& before, const std::string& actor)
{
    auto after = registered_hosts(disk);
    for (const auto& h : before) {
        if (h != actor && std::find(after.begin(), after.end(), h) == after.end())
            disk["unit_attention"][h] = RESERVATIONS_PREEMPTED;
    }
}

// A pending unit attention for `host` answers its command instead of the disk
// (and is gone after it): the command is not carried out.
bool deliver_attention(json& disk, const std::string& host, result& r)
{
    auto it = disk.find("unit_attention");
    if (it == disk.end() || !it->is_object() || !it->contains(host))
        return false;
    const uint16_t asc_ascq = (*it)[host].get<uint16_t>();
    it->erase(host);
    r.out.changed = true;
    r.check_condition(SENSE_UNIT_ATTENTION, "UNIT ATTENTION", asc_ascq);
    return true;
}

void pr_in(json& disk, const scsi_io& io, result& r)
{
    int sa = io.cdb[1] & 0x1f;
    uint32_t alloc = (uint32_t{io.cdb[7]} << 8) | io.cdb[8];
    std::vector<uint8_t> answer;
    uint32_t generation = disk.value("generation", uint32_t{0});
    if (sa == SPRI_RK) {
        r.out.journal["op"] = "read_keys";
        const json& regs = disk["registrations"];
        answer.resize(8 + 8 * regs.size());
        put_be32(answer.data(), generation);
        put_be32(answer.data() + 4, static_cast<uint32_t>(8 * regs.size()));
        for (size_t i = 0; i < regs.size(); ++i)
            put_be64(answer.data() + 8 + 8 * i, regs[i].at("key").get<uint64_t>());
    } else if (sa == SPRI_RR) {
        r.out.journal["op"] = "read_reservation";
        answer.resize(8);
        put_be32(answer.data(), generation);
        if (rs::reserved(disk)) {
            const json& res = disk["reservation"];
            uint32_t type = res.at("type").get<uint32_t>();
            answer.resize(24);
            put_be32(answer.data() + 4, 16);
            // An all-registrants reservation has no single holder: its key reads 0.
            put_be64(answer.data() + 8, all_registrants(type) ? 0 : res.at("key").get<uint64_t>());
            answer[21] = static_cast<uint8_t>(type & 0x0f);  // scope 0 (LU)
        }
    } else {
        r.out.journal["op"] = "pr_in";
        r.illegal(INVALID_FIELD_IN_CDB);
        return;
    }
    uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(answer.size()), alloc);
    if (n > io.dxfer_len) {
        // The target would send more than the initiator's buffer holds.
        r.done.cam_status = CAM_DATA_RUN_ERR;
        r.out.journal["status"] = "DATA OVERRUN";
        return;
    }
    if (n > 0)
        std::memcpy(io.data, answer.data(), n);
    r.done.transferred = n;
    r.good();
}

void pr_out(json& disk, const std::string& host, const scsi_io& io, result& r)
{
    int sa = io.cdb[1] & 0x1f;
    uint32_t scope = io.cdb[2] >> 4;
    uint32_t type = io.cdb[2] & 0x0f;
    uint32_t plen = be32(io.cdb + 5);
    r.out.journal["op"] = out_name(sa);
    if (sa > SPRO_REG_IGNO)  // REGISTER AND MOVE and beyond are not offered
        return r.illegal(INVALID_FIELD_IN_CDB);
    if (plen != 24)
        return r.illegal(PARAM_LIST_LENGTH_ERROR);
    if (io.dxfer_len < plen) {
        r.done.cam_status = CAM_DATA_RUN_ERR;
        r.out.journal["status"] = "DATA UNDERRUN";
        return;
    }
    const uint8_t* p = io.data;
    uint64_t key = be64(p);
    uint64_t sa_key = be64(p + 8);
    r.out.journal["key"] = key;
    r.out.journal["sa_key"] = sa_key;
    if (p[20] & 0x08)  // SPEC_I_PT: registering other nexuses is not offered
        return r.illegal(INVALID_FIELD_IN_PARAMS);
    bool typed = sa == SPRO_RESERVE || sa == SPRO_RELEASE || sa == SPRO_PREEMPT || sa == 5;
    if (typed) {
        r.out.journal["type"] = type;
        if (scope != 0 || !valid_type(type))
            return r.illegal(INVALID_FIELD_IN_CDB);
    }
    auto own = rs::key_of(disk, host);
    bool ar = rs::reserved(disk) && all_registrants(rs::res_type(disk));

    if (sa == SPRO_REGISTER || sa == SPRO_REG_IGNO) {
        if (sa == SPRO_REGISTER && key != own.value_or(0))
            return r.conflict();
        if (!own && sa_key == 0)
            return r.good();  // unregistering an unregistered nexus: nothing to do
        if (sa_key == 0)
            rs::unregister(disk, host, ar);
        else
            rs::set_key(disk, host, sa_key);
        rs::bump_generation(disk);
        r.out.changed = true;
        return r.good();
    }
    // Every other action needs this nexus registered with the key it gives.
    if (!own || *own != key)
        return r.conflict();
    if (sa == SPRO_RESERVE) {
        if (rs::reserved(disk)) {
            if (rs::holds(disk, host, ar) && rs::res_type(disk) == type)
                return r.good();
            return r.conflict();
        }
        rs::reserve(disk, host, type, key);
        r.out.changed = true;
        return r.good();
    }
    if (sa == SPRO_RELEASE) {
        if (!rs::holds(disk, host, ar))
            return r.good();  // not the holder: nothing is released, GOOD status
        if (rs::res_type(disk) != type)
            return r.illegal(INVALID_RELEASE);
        rs::drop_reservation(disk);
        r.out.changed = true;
        return r.good();
    }
    const auto before = registered_hosts(disk);
    if (sa == SPRO_CLEAR) {
        disk["registrations"] = json::array();
        preempted_attention(disk, before, host);
        rs::drop_reservation(disk);
        rs::bump_generation(disk);
        r.out.changed = true;
        return r.good();
    }
    // PREEMPT (and PREEMPT AND ABORT).
    if (sa_key == 0) {
        if (!ar)
            return r.illegal(INVALID_FIELD_IN_PARAMS);
        rs::remove_others(disk, host);
        rs::reserve(disk, host, type, key);
    } else if (rs::reserved(disk) && !ar && disk["reservation"].at("key").get<uint64_t>() == sa_key) {
        rs::drop_reservation(disk);
        rs::remove_key(disk, sa_key, host, false);
        rs::reserve(disk, host, type, key);
    } else if (rs::remove_key(disk, sa_key, host, ar) == 0) {
        return r.conflict();
    }
    preempted_attention(disk, before, host);
    rs::bump_generation(disk);
    r.out.changed = true;
    r.good();
}

}  // namespace

std::string scsi_op_name(const scsi_io& io)
{
    if (io.cdb_len < 10)
        return "scsi";
    int sa = io.cdb[1] & 0x1f;
    if (io.cdb[0] == PERSISTENT_RES_IN)
        return sa == SPRI_RK ? "read_keys" : sa == SPRI_RR ? "read_reservation" : "pr_in";
    if (io.cdb[0] == PERSISTENT_RES_OUT)
        return out_name(sa);
    return "scsi";
}

rule_outcome scsi_rules(json& disk, const std::string& host, const scsi_io& io, scsi_done& done)
{
    rule_outcome out;
    out.journal["op"] = scsi_op_name(io);
    done.cam_status = CAM_REQ_CMP;
    done.scsi_status = SCSI_STATUS_OK;
    result r{done, out};
    if (io.cdb_len < 10 || (io.cdb[0] != PERSISTENT_RES_IN && io.cdb[0] != PERSISTENT_RES_OUT)) {
        r.illegal(INVALID_OPCODE);
        return out;
    }
    uint32_t want = io.cdb[0] == PERSISTENT_RES_IN ? CAM_DIR_IN : CAM_DIR_OUT;
    if ((io.flags & CAM_DIR_MASK) != want || (io.dxfer_len > 0 && io.data == nullptr)) {
        done.cam_status = CAM_REQ_INVALID;
        out.journal["status"] = "CCB INVALID";
        return out;
    }
    if (deliver_attention(disk, host, r))
        return out;
    if (io.cdb[0] == PERSISTENT_RES_IN)
        pr_in(disk, io, r);
    else
        pr_out(disk, host, io, r);
    return out;
}

}  // namespace platform::disk_emul
