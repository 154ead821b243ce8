// Administration of the emulated pool world: fixtures, fencing and fabric links,
// host liveness and crashes, settings, faults, reading the state, a host's view
// and the operation log, and the zvol device nodes.
// Every call is one with_state() transaction under the state lock.
#include "platform/emulation.hpp"
#include "platform/procstat.hpp"
#include "platform/zfs.hpp"
#include "platform/emulated/zfs_emul.hpp"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>

namespace platform::zfs_emul {

namespace {

using namespace platform::zfs;

bool fail(std::string* err, const std::string& text)
{
    if (err != nullptr)
        *err = text;
    return false;
}

// Stamps the moment a host's multihost writes stop being seen.
void went_quiet(json& state, const std::string& host)
{
    state["hosts"][host]["quiet_since_ms"] = now_ms();
}

json& host_record(json& state, const std::string& host)
{
    json& rec = state["hosts"][host];
    if (!rec.contains("fenced"))
        rec["fenced"] = false;
    if (!rec.contains("alive"))
        rec["alive"] = true;
    return rec;
}

// Names of the live pools `host` holds.
std::vector<std::string> pools_held(const json& state, const std::string& host)
{
    std::vector<std::string> out;
    for (const auto& [key, pool] : state["pools"].items()) {
        (void)key;
        if (!pool.value("destroyed", false) && pool["imported_by"].contains(host))
            out.push_back(pool.value("name", ""));
    }
    return out;
}

// Leaves a description gives without their state are healthy ones on no host's
// own disks (a description names what differs: "path", "disk", ...).
void fill_leaf_defaults(json& vdevs)
{
    if (!vdevs.is_array())
        return;
    for (auto& v : vdevs) {
        if (!v.is_object())
            continue;
        if (v.contains("children")) {
            fill_leaf_defaults(v["children"]);
            continue;
        }
        const std::pair<const char*, json> defaults[] = {{"host", ""},
                                                         {"state", static_cast<uint64_t>(VDEV_STATE_HEALTHY)},
                                                         {"aux", 0},
                                                         {"online_script", json::array()}};
        for (const auto& [key, value] : defaults)
            if (!v.contains(key))
                v[key] = value;
    }
}

json default_pool(const std::string& name)
{
    return json{{"name", name},
                {"destroyed", false},
                {"visible", {{"diskid", true}, {"default", true}}},
                {"imported_by", json::object()},
                {"multihost", false},
                {"state", static_cast<uint64_t>(POOL_STATE_ACTIVE)},
                {"status", static_cast<int>(ZPOOL_STATUS_OK)},
                {"root_state", nullptr},
                {"vdevs", json::array({json{{"path", "/dev/diskid/" + name + "-disk0"},
                                            {"host", ""},
                                            {"state", static_cast<uint64_t>(VDEV_STATE_HEALTHY)},
                                            {"aux", 0},
                                            {"online_script", json::array()}}})},
                {"datasets", json::array({json{{"name", name}, {"mounted", false}, {"busy", false}, {"mount_fail", false}}})},
                {"zvols", json::array()},
                {"cachefile", ""},
                {"rewind_policy", nullptr},
                {"exports", json::array()}};
}

bool matches_pool(const std::string& key, const json& pool, const std::string& wanted)
{
    return key == wanted || pool.value("name", "") == wanted;
}

}  // namespace

std::optional<int64_t> create_pool(const json& spec, std::string* err)
{
    if (!spec.is_object() || !spec.contains("name") || !spec["name"].is_string()) {
        fail(err, "pool description needs a \"name\"");
        return std::nullopt;
    }
    int64_t id = -1;
    bool refused = false;
    bool ok = with_state(
        [&](json& state, std::vector<json>&) {
            json pool = default_pool(spec["name"].get<std::string>());
            pool.merge_patch(spec);
            fill_leaf_defaults(pool["vdevs"]);
            if (!normalize_pool(pool)) {
                refused = true;
                return false;
            }
            id = state.value("next_id", int64_t{1});
            state["next_id"] = id + 1;
            state["pools"][std::to_string(id)] = pool;
            for (const auto& [host, rec] : pool["imported_by"].items()) {
                (void)rec;
                make_zvol_nodes(pool, host);
            }
            return true;
        },
        err);
    if (ok && refused) {
        fail(err, "pool description has a member of the wrong kind");
        return std::nullopt;
    }
    if (!ok)
        return std::nullopt;
    return id;
}

bool update_pool(const std::string& name, const json& patch, std::string* err)
{
    bool found = false;
    bool refused = false;
    bool ok = with_state(
        [&](json& state, std::vector<json>&) {
            json pools = state["pools"];
            for (auto& [key, pool] : pools.items()) {
                if (matches_pool(key, pool, name)) {
                    pool.merge_patch(patch);
                    found = true;
                    if (!normalize_pool(pool)) {
                        refused = true;
                        return false;
                    }
                }
            }
            state["pools"] = std::move(pools);
            return found;
        },
        err);
    if (ok && refused)
        return fail(err, "the change gives pool " + name + " a member of the wrong kind");
    if (ok && !found)
        return fail(err, "no pool " + name);
    return ok;
}

bool fence_host(const std::string& host, bool fenced, std::string* err)
{
    return with_state(
        [&](json& state, std::vector<json>& ops) {
            const json before = state;
            host_record(state, host)["fenced"] = fenced;
            if (fenced)
                went_quiet(state, host);
            ops.push_back(json{{"host", host}, {"op", fenced ? "fence" : "unfence"}, {"pool", ""}});
            settle(before, state, ops, fenced ? "fence" : "unfence");
            return true;
        },
        err);
}

bool set_cut_from(const json& cuts, std::string* err)
{
    if (!cuts.is_object())
        return fail(err, "cuts must be an object of host name arrays");
    for (const auto& [host, list] : cuts.items()) {
        (void)host;
        if (!list.is_array() || !std::all_of(list.begin(), list.end(), [](const json& v) { return v.is_string(); }))
            return fail(err, "cuts must be an object of host name arrays");
    }
    return with_state(
        [&](json& state, std::vector<json>& ops) {
            const json before = state;
            for (auto& [host, rec] : state["hosts"].items()) {
                (void)host;
                rec.erase("cut_from");
            }
            for (const auto& [host, list] : cuts.items())
                if (!list.empty())
                    host_record(state, host)["cut_from"] = list;
            settle(before, state, ops, "links");
            return true;
        },
        err);
}

bool resettle(const std::string& cause, std::string* err)
{
    struct stat st {};
    if (state_dir().empty() || ::stat((state_dir() + "/state.json").c_str(), &st) != 0)
        return true;
    return with_state(
        [&](json& state, std::vector<json>& ops) {
            const json before = state;
            settle(before, state, ops, cause);
            return state != before || !ops.empty();
        },
        err);
}

bool set_host_alive(const std::string& host, bool alive, std::string* err)
{
    return with_state(
        [&](json& state, std::vector<json>& ops) {
            const json before = state;
            host_record(state, host)["alive"] = alive;
            if (!alive)
                went_quiet(state, host);
            ops.push_back(json{{"host", host}, {"op", alive ? "host-up" : "host-down"}, {"pool", ""}});
            settle(before, state, ops, alive ? "host-up" : "host-down");
            return true;
        },
        err);
}

bool host_crash(const std::string& host, std::vector<std::string>* dropped, std::string* err)
{
    return with_state(
        [&](json& state, std::vector<json>& ops) {
            if (dropped != nullptr)
                *dropped = pools_held(state, host);
            // Its disks vanish for a moment: the other holders lose them.
            const json before = state;
            host_record(state, host)["alive"] = false;
            settle(before, state, ops, "host-crash");
            for (auto& [key, pool] : state["pools"].items()) {
                (void)key;
                if (!pool["imported_by"].contains(host))
                    continue;
                remove_zvol_nodes(pool, host);
                pool["imported_by"].erase(host);
                if (pool["imported_by"].empty())
                    for (auto& ds : pool["datasets"])
                        ds["mounted"] = false;
                // "active_on" stays: the labels still name the crashed host.
            }
            went_quiet(state, host);
            state["hosts"][host]["alive"] = true;  // rebooted, with nothing imported
            ops.push_back(json{{"host", host}, {"op", "host-crash"}, {"pool", ""}});
            return true;
        },
        err);
}

bool daemon_crash(const std::string& host, std::vector<std::string>* kept, std::string* err)
{
    return with_state(
        [&](json& state, std::vector<json>& ops) {
            if (kept != nullptr)
                *kept = pools_held(state, host);
            ops.push_back(json{{"host", host}, {"op", "daemon-crash"}, {"pool", ""}});
            return true;
        },
        err);
}

bool set_settings(const json& patch, std::string* err)
{
    if (!patch.is_object())
        return fail(err, "settings must be an object");
    for (const auto& [key, value] : patch.items()) {
        if (key != "activity_window_ms")
            return fail(err, "unknown setting " + key);
        if (!value.is_number_integer() || value.get<int64_t>() < 0)
            return fail(err, "activity_window_ms must be an integer >= 0");
    }
    return with_state(
        [&](json& state, std::vector<json>&) {
            for (const auto& [key, value] : patch.items())
                state[key] = value;
            return true;
        },
        err);
}

std::optional<json> host_view(const std::string& host, std::string* err)
{
    json out = json::object();
    bool ok = with_state(
        [&](json& state, std::vector<json>&) {
            for (const auto& [key, pool] : state["pools"].items()) {
                if (pool.value("destroyed", false))
                    continue;
                json view = view_of(state, pool, host);
                json leaves = json::object();
                std::function<void(const json&)> walk = [&](const json& vdevs) {
                    for (const auto& v : vdevs) {
                        if (v.contains("children"))
                            walk(v["children"]);
                        else
                            leaves[v.value("path", "")] = zpool_state_to_name(
                                static_cast<vdev_state_t>(v.value("state", uint64_t{0})), VDEV_AUX_NONE);
                    }
                };
                walk(view["vdevs"]);
                out[key] = json{{"name", pool.value("name", "")},
                                {"imported", pool["imported_by"].contains(host)},
                                {"health", zpool_state_to_name(static_cast<vdev_state_t>(root_state(view)),
                                                               VDEV_AUX_NONE)},
                                {"suspended", pool["imported_by"].contains(host) && suspended_for(state, pool, host)},
                                {"leaves", leaves}};
            }
            return false;
        },
        err);
    if (!ok)
        return std::nullopt;
    return out;
}

bool add_fault(const json& fault, std::string* err)
{
    if (!fault.is_object() || !fault.contains("op") || !fault["op"].is_string())
        return fail(err, "fault needs an \"op\"");
    json f = json{{"op", ""}, {"pool", ""}, {"host", ""}, {"errno", EIO}, {"text", ""}, {"times", 1}, {"shape", ""}};
    f.merge_patch(fault);
    if (!fault_well_formed(f))
        return fail(err, "fault has a member of the wrong kind");
    return with_state(
        [&](json& state, std::vector<json>&) {
            state["faults"].push_back(f);
            return true;
        },
        err);
}

std::optional<json> read_state(std::string* err)
{
    json copy;
    bool ok = with_state(
        [&](json& state, std::vector<json>&) {
            copy = state;
            return false;
        },
        err);
    if (!ok)
        return std::nullopt;
    return copy;
}

std::vector<json> read_ops(std::string* err)
{
    std::vector<json> out;
    with_state(
        [&](json&, std::vector<json>&) {
            std::ifstream in(state_dir() + "/ops.log");
            std::string line;
            while (std::getline(in, line)) {
                if (line.empty())
                    continue;
                out.push_back(json::parse(line, nullptr, false));
            }
            return false;
        },
        err);
    return out;
}

void make_zvol_nodes(const json& pool, const std::string& host)
{
    const std::string dir = procstat::device_dir_of(host) + "/zvol/" + pool.value("name", "");
    if (!pool.contains("zvols") || pool["zvols"].empty() || !make_dirs(dir))
        return;
    for (const auto& vol : pool["zvols"]) {
        if (!vol.is_string())
            continue;
        const std::string path = dir + "/" + vol.get<std::string>();
        // The null device's numbers: opening the node is harmless. Needs root;
        // without it the zvols simply have no nodes.
        ::mknod(path.c_str(), S_IFCHR | 0600, makedev(1, 3));
    }
}

void remove_zvol_nodes(const json& pool, const std::string& host)
{
    const std::string dir = procstat::device_dir_of(host) + "/zvol/" + pool.value("name", "");
    if (!pool.contains("zvols"))
        return;
    for (const auto& vol : pool["zvols"])
        if (vol.is_string())
            ::unlink((dir + "/" + vol.get<std::string>()).c_str());
    ::rmdir(dir.c_str());
}

}  // namespace platform::zfs_emul
