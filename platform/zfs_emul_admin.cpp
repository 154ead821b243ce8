// Administration of the emulated pool world: fixtures, fencing, host liveness,
// faults, reading the state and the operation log, and the zvol device nodes.
// Every call is one with_state() transaction under the state lock.
#include "platform/emulation.hpp"
#include "platform/procstat.hpp"
#include "platform/zfs.hpp"
#include "platform/zfs_emul.hpp"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

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

// Leaves of a vdev list, depth first.
void mark_host_leaves(json& vdevs, const std::string& host, uint64_t state)
{
    if (!vdevs.is_array())
        return;
    for (auto& v : vdevs) {
        if (v.contains("children"))
            mark_host_leaves(v["children"], host, state);
        else if (v.value("host", "") == host)
            v["state"] = state;
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
            state["hosts"][host]["fenced"] = fenced;
            if (!state["hosts"][host].contains("alive"))
                state["hosts"][host]["alive"] = true;
            for (auto& [key, pool] : state["pools"].items()) {
                (void)key;
                if (fenced) {
                    // Its disks are gone for everybody; they stay gone until onlined.
                    mark_host_leaves(pool["vdevs"], host, VDEV_STATE_CANT_OPEN);
                    if (pool["imported_by"].contains(host))
                        remove_zvol_nodes(pool, host);
                } else if (pool["imported_by"].contains(host)) {
                    make_zvol_nodes(pool, host);
                }
            }
            ops.push_back(json{{"host", host}, {"op", fenced ? "fence" : "unfence"}, {"pool", ""}});
            return true;
        },
        err);
}

bool set_host_alive(const std::string& host, bool alive, std::string* err)
{
    return with_state(
        [&](json& state, std::vector<json>&) {
            state["hosts"][host]["alive"] = alive;
            if (!state["hosts"][host].contains("fenced"))
                state["hosts"][host]["fenced"] = false;
            return true;
        },
        err);
}

bool add_fault(const json& fault, std::string* err)
{
    if (!fault.is_object() || !fault.contains("op") || !fault["op"].is_string())
        return fail(err, "fault needs an \"op\"");
    json f = json{{"op", ""}, {"pool", ""}, {"host", ""}, {"errno", EIO}, {"text", ""}, {"times", 1}, {"shape", ""}};
    f.merge_patch(fault);
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
