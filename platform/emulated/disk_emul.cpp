// The emulated disks' files, administration, fault injection and command path
// (layout in disk_emul.hpp). Lock rule: every read or change of a disk's state and
// journal happens inside one emul_state::with_state call on that disk's directory;
// a delayed command sleeps between two such calls, never while holding the lock.
#include "platform/emulated/disk_emul.hpp"

#include "platform/cam.hpp"
#include "platform/emulated/emul_state_file.hpp"
#include "platform/emulated/reservation_state.hpp"
#include "platform/emulated/zfs_emul.hpp"
#include "platform/emulation.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

namespace platform::disk_emul {

namespace {

namespace nv = platform::nvme;

// A command longer than this is a time-out (the CCB's own time-out when shorter).
constexpr int64_t command_timeout_ms = 5000;

bool fail(std::string* err, const std::string& text)
{
    if (err != nullptr)
        *err = text;
    return false;
}

std::string disk_dir(const std::string& name)
{
    return disks_dir() + "/" + name;
}

bool disk_exists(const std::string& name)
{
    struct stat st {};
    return !name.empty() && !disks_dir().empty() && ::stat((disk_dir(name) + "/state.json").c_str(), &st) == 0;
}

emul_state::state_file file_of(const std::string& name)
{
    return emul_state::state_file{disk_dir(name),
                                  "journal.log",
                                  json(nullptr),
                                  "can't open the disk lock: ",
                                  "can't lock the disk: ",
                                  "disk state unreadable: ",
                                  "disk state malformed: ",
                                  "can't write the disk state: ",
                                  "can't replace the disk state: ",
                                  "can't append to the disk journal: "};
}

bool with_disk_locked(const std::string& name,
                      const std::function<bool(json& disk, std::vector<json>& journal)>& fn, std::string* err);

// One locked read-modify-write of an existing disk's state. A stored change may
// give or take a host's write access to the pools on the disk: the pool world
// re-checks its writers after the disk's lock is released (lock order: the pool
// world's lock, then a disk's; never a disk's first).
bool with_disk(const std::string& name, const std::function<bool(json& disk, std::vector<json>& journal)>& fn,
               std::string* err)
{
    bool stored = false;
    auto change = [&](json& disk, std::vector<json>& journal) { return stored = fn(disk, journal); };
    const bool ok = with_disk_locked(name, change, err);
    if (ok && stored)
        zfs_emul::resettle("disk " + name, nullptr);
    return ok;
}

bool with_disk_locked(const std::string& name,
                      const std::function<bool(json& disk, std::vector<json>& journal)>& fn, std::string* err)
{
    if (disks_dir().empty())
        return fail(err, "disk emulation is not set up (KELM_EMUL_ROOT unset)");
    if (!disk_exists(name))
        return fail(err, "no such disk: " + name);
    auto check = [&](json& disk, std::string* e) {
        return disk.is_object() || fail(e, "disk state unreadable: not an object");
    };
    return emul_state::with_state(file_of(name), check, [&](json& disk, std::vector<json>& journal, bool* write) {
        *write = fn(disk, journal);
        return true;
    }, err);
}

json journal_line(const std::string& host, json fields)
{
    json line = {{"t", mono_ns()}, {"host", host}};
    for (auto& [k, v] : fields.items())
        line[k] = v;
    return line;
}

// Whether a fault is active now; false for one whose time is over.
bool active(const json& f, int64_t now, bool* expired)
{
    *expired = false;
    if (f.contains("until_ns") && now > f["until_ns"].get<int64_t>()) {
        *expired = true;
        return false;
    }
    if (f.contains("flap")) {
        int64_t period = f["flap"].at("period_ms").get<int64_t>() * 1000000;
        int64_t down = f["flap"].at("down_ms").get<int64_t>() * 1000000;
        int64_t since = f.value("since_ns", int64_t{0});
        return (now - since) % period < down;
    }
    return true;
}

bool op_matches(const std::string& want, const std::string& op)
{
    static const char* setup_ops[] = {"open", "ccb", "nsid"};
    if (want == "command")
        return std::none_of(std::begin(setup_ops), std::end(setup_ops), [&](const char* s) { return op == s; });
    return want == op;
}

// The first active fault for host and op, one use consumed; *changed when the
// fault list changed.
std::optional<json> take_fault(json& disk, const std::string& host, const std::string& op, bool* changed)
{
    json& faults = disk["faults"];
    if (!faults.is_array())
        return std::nullopt;
    int64_t now = mono_ns();
    for (size_t i = 0; i < faults.size();) {
        json& f = faults[i];
        bool expired = false;
        bool on = active(f, now, &expired);
        if (expired) {
            faults.erase(i);
            *changed = true;
            continue;
        }
        std::string fh = f.value("host", "");
        if (!on || !(fh.empty() || fh == host) || !op_matches(f.value("op", "command"), op)) {
            ++i;
            continue;
        }
        json taken = f;
        int64_t times = f.value("times", int64_t{-1});
        if (times > 0) {
            f["times"] = times - 1;
            *changed = true;
            if (times == 1)
                faults.erase(i);
        }
        return taken;
    }
    return std::nullopt;
}

bool is_int(const json& f, const char* key)
{
    return !f.contains(key) || f[key].is_number_integer();
}

bool fault_well_formed(const json& f, std::string* err)
{
    static const char* actions[] = {"fail", "cam", "nvme", "conflict", "delay"};
    if (!f.is_object())
        return fail(err, "a fault is a JSON object");
    for (const char* key : {"disk", "host", "op", "action"}) {
        if (f.contains(key) && !f[key].is_string())
            return fail(err, std::string("fault member \"") + key + "\" must be a string");
    }
    for (const char* key : {"errno", "cam_status", "nvme_status", "delay_ms", "times", "for_ms"}) {
        if (!is_int(f, key))
            return fail(err, std::string("fault member \"") + key + "\" must be an integer");
    }
    std::string action = f.value("action", "");
    if (std::none_of(std::begin(actions), std::end(actions), [&](const char* a) { return action == a; }))
        return fail(err, "fault \"action\" must be one of fail, cam, nvme, conflict, delay");
    if (f.contains("flap")) {
        const json& fl = f["flap"];
        if (!fl.is_object() || !fl.contains("period_ms") || !fl["period_ms"].is_number_integer() ||
            fl["period_ms"].get<int64_t>() <= 0 || !fl.contains("down_ms") || !fl["down_ms"].is_number_integer())
            return fail(err, "fault \"flap\" needs a positive integer \"period_ms\" and an integer \"down_ms\"");
    }
    if (f.value("delay_ms", int64_t{0}) < 0 || f.value("for_ms", int64_t{0}) < 0)
        return fail(err, "fault durations cannot be negative");
    return true;
}

// The shared command path: checks the handle, lets a fault answer or runs
// `execute`, journals the command. `fault_answer` applies a non-delay fault and
// returns its journal status. A delay fault makes the command wait outside the
// lock and then run without faults (or time out after the time-out).
struct command_path {
    std::string name;
    int64_t epoch;  // -1: any insertion (set-up commands)
    std::string host;
    std::string op;
    bool faults = true;
    int64_t timeout_ms = command_timeout_ms;
    std::function<void(int err)> gone;                          // the handle is stale or the files fail
    std::function<std::string(const json& fault)> fault_answer;  // returns the journal status
    std::function<void()> timed_out;
    std::function<rule_outcome(json& disk)> execute;
};

void run(command_path& c)
{
    int64_t delay_ms = -1;
    bool timeout = false;
    auto body = [&](json& disk, std::vector<json>& journal) {
        bool changed = false;
        if (disk.value("removed", false) || (c.epoch >= 0 && disk.value("epoch", int64_t{0}) != c.epoch)) {
            c.gone(ENXIO);
            journal.push_back(journal_line(c.host, {{"op", c.op}, {"status", "ENXIO (device gone)"}}));
            return false;
        }
        if (c.faults) {
            if (auto f = take_fault(disk, c.host, c.op, &changed)) {
                json line = {{"op", c.op}, {"fault", f->value("action", "")}};
                if (f->value("action", "") == "delay") {
                    delay_ms = f->value("delay_ms", int64_t{0});
                    timeout = delay_ms >= c.timeout_ms;
                    line["status"] = timeout ? "TIMEOUT" : "DELAYED";
                    line["delay_ms"] = delay_ms;
                } else {
                    line["status"] = c.fault_answer(*f);
                }
                journal.push_back(journal_line(c.host, line));
                return changed;
            }
        }
        rule_outcome out = c.execute(disk);
        out.journal["generation"] = disk.value("generation", uint32_t{0});
        journal.push_back(journal_line(c.host, out.journal));
        return changed || out.changed;
    };
    std::string err;
    if (!with_disk(c.name, body, &err)) {
        c.gone(disk_exists(c.name) ? EIO : ENXIO);
        return;
    }
    if (delay_ms < 0)
        return;
    std::this_thread::sleep_for(std::chrono::milliseconds(timeout ? c.timeout_ms : delay_ms));
    if (timeout) {
        c.timed_out();
        return;
    }
    c.faults = false;
    if (!with_disk(c.name, body, &err))
        c.gone(disk_exists(c.name) ? EIO : ENXIO);
}

uint32_t scsi_type_code(uint32_t type)
{
    static const uint32_t codes[] = {0, 1, 3, 5, 6, 7, 8};
    return type <= 6 ? codes[type] : 0;
}

void put_be64(uint8_t* p, uint64_t v)
{
    for (int i = 7; i >= 0; --i, v >>= 8)
        p[i] = static_cast<uint8_t>(v);
}

void put_le64(uint8_t* p, uint64_t v)
{
    for (int i = 0; i < 8; ++i, v >>= 8)
        p[i] = static_cast<uint8_t>(v);
}

}  // namespace

std::string disks_dir()
{
    auto root = emulated_root();
    return root ? *root + "/disks" : std::string();
}

std::string disk_name(const std::string& configured)
{
    std::string name = configured;
    if (name.rfind("/dev/", 0) == 0)
        name = name.substr(5);
    if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos || name.size() > 200)
        return std::string();
    return name;
}

int64_t mono_ns()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

bool create_disk(const std::string& configured, const std::string& proto, std::string* err)
{
    std::string name = disk_name(configured);
    if (name.empty())
        return fail(err, "bad disk name: " + configured);
    if (proto != "scsi" && proto != "nvme")
        return fail(err, "a disk is scsi or nvme, not " + proto);
    if (disks_dir().empty())
        return fail(err, "disk emulation is not set up (KELM_EMUL_ROOT unset)");
    bool existed = false;
    auto check = [&](json& disk, std::string*) {
        existed = !disk.is_null();
        return true;
    };
    bool ok = emul_state::with_state(file_of(name), check, [&](json& disk, std::vector<json>&, bool* write) {
        if (existed)
            return true;
        disk = json{{"name", name}, {"proto", proto}, {"removed", false}, {"epoch", 1}, {"generation", 0},
                    {"ptpl", false}, {"registrations", json::array()}, {"reservation", nullptr},
                    {"controllers", json::object()}, {"next_cntlid", 1}, {"faults", json::array()}};
        if (proto == "nvme")
            disk["nsid"] = 1;
        *write = true;
        return true;
    }, err);
    if (ok && existed)
        return fail(err, "disk exists: " + name);
    return ok;
}

std::optional<json> read_disk(const std::string& configured, std::string* err)
{
    std::optional<json> out;
    bool ok = with_disk(disk_name(configured), [&](json& disk, std::vector<json>&) {
        out = disk;
        return false;
    }, err);
    return ok ? out : std::nullopt;
}

bool host_may_write(const std::string& configured, const std::string& host)
{
    bool out = false;
    with_disk_locked(disk_name(configured), [&](json& disk, std::vector<json>&) {
        try {
            out = resv_state::may_write(disk, host);
        } catch (const json::exception&) {
            out = false;  // a hand-broken state file gives no access
        }
        return false;
    }, nullptr);
    return out;
}

std::vector<std::string> list_disks()
{
    std::vector<std::string> names;
    std::string dir = disks_dir();
    if (dir.empty())
        return names;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n[0] != '.' && disk_exists(n))
            names.push_back(n);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool set_removed(const std::string& configured, bool removed, std::string* err)
{
    return with_disk(disk_name(configured), [&](json& disk, std::vector<json>& journal) {
        bool was = disk.value("removed", false);
        disk["removed"] = removed;
        if (was && !removed) {
            disk["epoch"] = disk.value("epoch", int64_t{0}) + 1;  // handles of the old insertion stay dead
            // The disk powers up again: without persistence through power loss
            // its registrations and reservation are gone, as on a real one.
            if (!disk.value("ptpl", false)) {
                disk["registrations"] = json::array();
                resv_state::drop_reservation(disk);
            }
            disk["unit_attention"] = json::object();
        }
        journal.push_back(journal_line("admin", {{"op", removed ? "remove" : "reinsert"}, {"status", "GOOD"}}));
        return true;
    }, err);
}

bool add_fault(json fault, std::string* err)
{
    if (!fault_well_formed(fault, err))
        return false;
    int64_t now = mono_ns();
    fault["since_ns"] = now;
    if (fault.contains("for_ms"))
        fault["until_ns"] = now + fault["for_ms"].get<int64_t>() * 1000000;
    std::string disk = fault.value("disk", "");
    std::vector<std::string> targets = disk.empty() ? list_disks() : std::vector<std::string>{disk_name(disk)};
    if (targets.empty())
        return fail(err, "no disk to add the fault to");
    for (const auto& name : targets) {
        bool ok = with_disk(name, [&](json& d, std::vector<json>&) {
            if (!d["faults"].is_array())
                d["faults"] = json::array();
            d["faults"].push_back(fault);
            return true;
        }, err);
        if (!ok)
            return false;
    }
    return true;
}

bool clear_faults(const std::string& configured, std::string* err)
{
    std::vector<std::string> targets =
        configured.empty() ? list_disks() : std::vector<std::string>{disk_name(configured)};
    for (const auto& name : targets) {
        bool ok = with_disk(name, [&](json& d, std::vector<json>&) {
            d["faults"] = json::array();
            return true;
        }, err);
        if (!ok)
            return false;
    }
    return true;
}

std::vector<json> read_journal(const std::string& configured, std::string* err)
{
    std::vector<json> lines;
    std::string name = disk_name(configured);
    bool ok = with_disk(name, [&](json&, std::vector<json>&) {
        std::ifstream in(disk_dir(name) + "/journal.log");
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty())
                lines.push_back(json::parse(line, nullptr, false));
        }
        return false;
    }, err);
    if (!ok)
        lines.clear();
    return lines;
}

int64_t count_dueling(int64_t window_ns, std::string* err)
{
    int64_t duels = 0;
    for (const auto& name : list_disks()) {
        std::string last_host;
        int64_t last_t = 0;
        for (const auto& line : read_journal(name, err)) {
            if (!line.is_object() || line.contains("fault"))
                continue;
            std::string op = line.value("op", "");
            std::string status = line.value("status", "");
            if ((op != "preempt" && op != "preempt_abort") || (status != "GOOD" && status != "SUCCESS"))
                continue;
            std::string host = line.value("host", "");
            int64_t t = line.value("t", int64_t{0});
            if (!last_host.empty() && host != last_host && t - last_t <= window_ns)
                ++duels;
            last_host = host;
            last_t = t;
        }
    }
    return duels;
}

open_result open_disk(const std::string& configured, const std::string& proto, const std::string& host)
{
    open_result r;
    std::string name = disk_name(configured);
    if (!disk_exists(name)) {
        r.err = ENOENT;
        return r;
    }
    std::string err;
    bool ok = with_disk(name, [&](json& disk, std::vector<json>&) {
        bool changed = false;
        if (disk.value("removed", false) || disk.value("proto", "") != proto) {
            r.err = ENXIO;
        } else if (auto f = take_fault(disk, host, "open", &changed)) {
            r.err = f->value("errno", EIO);
        } else {
            r.epoch = disk.value("epoch", int64_t{0});
            r.nsid = disk.value("nsid", uint32_t{0});
        }
        return changed;
    }, &err);
    if (!ok)
        r.err = EIO;
    return r;
}

int fault_errno(const std::string& configured, const std::string& host, const std::string& op)
{
    int e = 0;
    std::string err;
    with_disk(disk_name(configured), [&](json& disk, std::vector<json>&) {
        bool changed = false;
        if (auto f = take_fault(disk, host, op, &changed))
            e = f->value("errno", EIO);
        return changed;
    }, &err);
    return e;
}

scsi_done scsi_command(const std::string& configured, int64_t epoch, const std::string& host, const scsi_io& io)
{
    using namespace platform::cam;
    scsi_done done;
    command_path c;
    c.name = disk_name(configured);
    c.epoch = epoch;
    c.host = host;
    c.op = scsi_op_name(io);
    if (io.timeout_ms > 0)
        c.timeout_ms = std::min<int64_t>(c.timeout_ms, io.timeout_ms);
    c.gone = [&](int e) { done.sys_errno = e; };
    c.fault_answer = [&](const json& f) -> std::string {
        std::string action = f.value("action", "");
        if (action == "fail") {
            done.sys_errno = f.value("errno", EIO);
            return "ERRNO " + std::to_string(done.sys_errno);
        }
        if (action == "conflict") {
            done.cam_status = CAM_SCSI_STATUS_ERROR;
            done.scsi_status = SCSI_STATUS_RESERV_CONFLICT;
            return "RESERVATION CONFLICT";
        }
        done.cam_status = f.value("cam_status", CAM_REQ_CMP_ERR);
        return std::string("CAM ") + status_text(done.cam_status & CAM_STATUS_MASK);
    };
    c.timed_out = [&] { done.cam_status = CAM_CMD_TIMEOUT; };
    c.execute = [&](json& disk) {
        if (disk.value("proto", "") != "scsi") {
            done.cam_status = CAM_REQ_INVALID;
            return rule_outcome{false, {{"op", c.op}, {"status", "NOT SCSI"}}};
        }
        return scsi_rules(disk, host, io, done);
    };
    run(c);
    // Without CAM_DEV_QFRZDIS an error freezes the device queue, as CAM reports.
    if (done.sys_errno == 0 && (done.cam_status & CAM_STATUS_MASK) != CAM_REQ_CMP &&
        !(io.flags & CAM_DEV_QFRZDIS))
        done.cam_status |= CAM_DEV_QFRZN;
    return done;
}

nvme_done nvme_command(const std::string& configured, int64_t epoch, const std::string& host, nv::pt_command& pt)
{
    nvme_done done;
    command_path c;
    c.name = disk_name(configured);
    c.epoch = epoch;
    c.host = host;
    c.op = nvme_op_name(pt.cmd);
    c.gone = [&](int e) { done.sys_errno = e; };
    c.fault_answer = [&](const json& f) -> std::string {
        std::string action = f.value("action", "");
        if (action == "fail") {
            done.sys_errno = f.value("errno", EIO);
            return "ERRNO " + std::to_string(done.sys_errno);
        }
        done.status = action == "conflict" ? nv::STATUS_RESERVATION_CONFLICT
                                           : f.value("nvme_status", uint16_t{0x0c});  // internal error
        char text[32];
        std::snprintf(text, sizeof(text), "STATUS 0x%03x", done.status);
        return text;
    };
    c.timed_out = [&] { done.sys_errno = ETIMEDOUT; };
    c.execute = [&](json& disk) {
        if (disk.value("proto", "") != "nvme") {
            done.sys_errno = ENOTTY;
            return rule_outcome{false, {{"op", c.op}, {"status", "NOT NVME"}}};
        }
        return nvme_rules(disk, host, pt, done);
    };
    run(c);
    return done;
}

bool setup_command(const std::string& configured, const std::string& host, const std::string& op, uint32_t type,
                   uint64_t key, uint64_t sa_key, std::string* err)
{
    std::string name = disk_name(configured);
    auto disk = read_disk(name, err);
    if (!disk)
        return false;
    if (type > 6 || ((op == "reserve" || op == "release" || op == "preempt") && type == 0))
        return fail(err, "reservation type must be 1 to 6");
    std::string status;
    if (disk->value("proto", "") == "scsi") {
        using namespace platform::cam;
        static const std::map<std::string, int> actions = {
            {"register", SPRO_REG_IGNO}, {"reserve", SPRO_RESERVE}, {"release", SPRO_RELEASE},
            {"preempt", SPRO_PREEMPT}, {"clear", SPRO_CLEAR}};
        auto it = actions.find(op);
        if (it == actions.end())
            return fail(err, "unknown set-up command: " + op);
        uint8_t params[24] = {};
        if (op == "register") {
            put_be64(params + 8, key);
        } else {
            put_be64(params, key);
            put_be64(params + 8, sa_key);
        }
        ccb c;
        persistent_reserve_out(&c, 0, 0, it->second, 0, static_cast<int>(scsi_type_code(type)), params, 24,
                               SSD_FULL_SIZE, 5000);
        scsi_io io{c.cdb, c.cdb_len, c.flags, params, 24, 5000};
        scsi_done done;
        command_path p;
        p.name = name;
        p.epoch = -1;
        p.host = host;
        p.op = scsi_op_name(io);
        p.faults = false;
        p.gone = [&](int e) { status = "ERRNO " + std::to_string(e); };
        p.execute = [&](json& d) {
            auto out = scsi_rules(d, host, io, done);
            status = out.journal.value("status", "");
            return out;
        };
        run(p);
        // A unit attention pending for the host answered instead: send it again,
        // as an initiator does.
        if (status.rfind("CHECK CONDITION UNIT ATTENTION", 0) == 0)
            run(p);
        return status == "GOOD" || fail(err, status);
    }
    nv::pt_command pt;
    uint8_t data[16] = {};
    pt.cmd.nsid = disk->value("nsid", uint32_t{1});
    pt.buf = data;
    pt.len = 16;
    if (op == "register") {
        pt.cmd.opc = nv::OPC_RESERVATION_REGISTER;
        pt.cmd.cdw10 = key == 0 ? (1 | 8) : 8;
        put_le64(data + 8, key);
    } else if (op == "reserve" || op == "preempt") {
        pt.cmd.opc = nv::OPC_RESERVATION_ACQUIRE;
        pt.cmd.cdw10 = (type << 8) | (op == "preempt" ? 1 : 0);
        put_le64(data, key);
        put_le64(data + 8, sa_key);
    } else if (op == "release" || op == "clear") {
        pt.cmd.opc = nv::OPC_RESERVATION_RELEASE;
        pt.cmd.cdw10 = (type << 8) | (op == "clear" ? 1 : 0);
        put_le64(data, key);
        pt.len = 8;
    } else {
        return fail(err, "unknown set-up command: " + op);
    }
    nvme_done done;
    command_path p;
    p.name = name;
    p.epoch = -1;
    p.host = host;
    p.op = nvme_op_name(pt.cmd);
    p.faults = false;
    p.gone = [&](int e) { status = "ERRNO " + std::to_string(e); };
    p.execute = [&](json& d) {
        auto out = nvme_rules(d, host, pt, done);
        status = out.journal.value("status", "");
        return out;
    };
    run(p);
    return status == "SUCCESS" || fail(err, status);
}

}  // namespace platform::disk_emul
