// The emulated pool state file: its error texts and the checks a hand-edited file
// must pass; locking, reading, atomic rewriting and the operation log live in
// platform/emulated/emul_state_file.hpp. Lock rule: the exclusive flock of the separate
// "lock" file covers every read and write of state.json and ops.log.
#include "platform/emulated/zfs_emul.hpp"

#include "platform/emulated/emul_state_file.hpp"
#include "platform/emulation.hpp"
#include "platform/zfs.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace platform::zfs_emul {

namespace {

using namespace platform::zfs;

json empty_state()
{
    return json{{"next_id", 1}, {"double_imports", 0}, {"hosts", json::object()}, {"pools", json::object()},
                {"faults", json::array()}};
}

bool fail(std::string* err, const std::string& text)
{
    if (err != nullptr)
        *err = text;
    return false;
}

// Leaves of a vdev list, depth first.
void collect_leaves(const json& vdevs, std::vector<const json*>* out)
{
    if (!vdevs.is_array())
        return;
    for (const auto& v : vdevs) {
        if (v.contains("children"))
            collect_leaves(v["children"], out);
        else
            out->push_back(&v);
    }
}

bool vdevs_well_formed(const json& vdevs)
{
    if (!vdevs.is_array())
        return false;
    for (const auto& v : vdevs) {
        if (!v.is_object())
            return false;
        if (v.contains("children") && !vdevs_well_formed(v["children"]))
            return false;
        if (v.contains("online_script") && !v["online_script"].is_array())
            return false;
        if (v.contains("disk") && (!v["disk"].is_string() || v.contains("children")))
            return false;
    }
    return true;
}

// A pool id is the decimal text of the pool's guid: the calls turn it back into
// a number, so anything else must be refused before they meet it.
bool pool_id_well_formed(const std::string& id)
{
    if (id.empty() || id.size() > 20 || id.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    std::strtoull(id.c_str(), nullptr, 10);
    return errno != ERANGE;
}

// Fills absent members of a pool record and checks the kinds of the present
// ones, so the library calls never meet a member of the wrong kind.
}  // namespace

bool normalize_pool(json& pool)
{
    if (!pool.is_object())
        return false;
    const std::pair<const char*, json> members[] = {
        {"imported_by", json::object()}, {"visible", json::object()}, {"vdevs", json::array()},
        {"datasets", json::array()},     {"zvols", json::array()},    {"exports", json::array()},
    };
    for (const auto& [key, empty] : members) {
        if (!pool.contains(key) || pool[key].is_null())
            pool[key] = empty;
        else if (pool[key].type() != empty.type())
            return false;
    }
    if (!pool.contains("name") || !pool["name"].is_string())
        return false;
    if (pool.contains("active_on") && !pool["active_on"].is_string())
        return false;
    if (pool.contains("label_gen") && !pool["label_gen"].is_number_unsigned())
        return false;
    for (auto& [host, rec] : pool["imported_by"].items()) {
        (void)host;
        if (rec.is_null())
            rec = json::object();
        if (!rec.is_object())
            return false;
        if (rec.contains("lost") && (!rec["lost"].is_array() ||
                                     !std::all_of(rec["lost"].begin(), rec["lost"].end(),
                                                  [](const json& p) { return p.is_string(); })))
            return false;
    }
    if (pool.contains("writers") && (!pool["writers"].is_array() ||
                                     !std::all_of(pool["writers"].begin(), pool["writers"].end(),
                                                  [](const json& h) { return h.is_string(); })))
        return false;
    for (const auto& ds : pool["datasets"])
        if (!ds.is_object())
            return false;
    for (const auto& vol : pool["zvols"])
        if (!vol.is_string())
            return false;
    return vdevs_well_formed(pool["vdevs"]);
}


bool fault_well_formed(const json& fault)
{
    if (!fault.is_object())
        return false;
    for (const char* key : {"op", "pool", "host", "text", "shape"})
        if (fault.contains(key) && !fault[key].is_string())
            return false;
    for (const char* key : {"errno", "times"})
        if (fault.contains(key) && !fault[key].is_number_integer())
            return false;
    return !fault.contains("hang") || fault["hang"].is_boolean();
}

namespace {

// A hand-edited file must not make the calls below guess: the members every
// call walks have to be of their kind.
bool check_state(json& state, std::string* err)
{
    if (!state.is_object() || !state.value("pools", json::object()).is_object() ||
        !state.value("hosts", json::object()).is_object() || !state.value("faults", json::array()).is_array())
        return fail(err, "pool state malformed: \"pools\", \"hosts\" must be objects, \"faults\" an array");
    for (const char* key : {"pools", "hosts"})
        if (!state.contains(key))
            state[key] = json::object();
    if (!state.contains("faults"))
        state["faults"] = json::array();
    for (auto& [id, pool] : state["pools"].items()) {
        if (!pool_id_well_formed(id) || !normalize_pool(pool))
            return fail(err, "pool state malformed: pool " + id);
    }
    for (const auto& f : state["faults"])
        if (!fault_well_formed(f))
            return fail(err, "pool state malformed: a fault is not an object with members of their kinds");
    return true;
}

}  // namespace

std::string state_dir()
{
    auto root = emulated_root();
    return root ? *root + "/zfs" : std::string();
}

bool with_state(const std::function<bool(json& state, std::vector<json>& ops)>& fn, std::string* err)
{
    const std::string dir = state_dir();
    if (dir.empty())
        return fail(err, "pool emulation is not set up (KELM_EMUL_ROOT unset)");
    const emul_state::state_file file{dir,
                                      "ops.log",
                                      empty_state(),
                                      "can't open pool state lock: ",
                                      "can't lock pool state: ",
                                      "pool state unreadable: ",
                                      "pool state malformed: ",
                                      "can't write pool state: ",
                                      "can't replace pool state: ",
                                      "can't append to the pool operation log: "};
    return emul_state::with_state(file, check_state, [&](json& state, std::vector<json>& ops, bool* write) {
        *write = fn(state, ops);
        return true;
    }, err);
}

uint64_t root_state(const json& pool)
{
    if (pool.contains("root_state") && pool["root_state"].is_number_unsigned())
        return pool["root_state"].get<uint64_t>();
    std::vector<const json*> leaves;
    if (pool.contains("vdevs"))
        collect_leaves(pool["vdevs"], &leaves);
    size_t healthy = 0;
    for (const json* leaf : leaves)
        if (leaf->value("state", uint64_t{0}) == VDEV_STATE_HEALTHY)
            ++healthy;
    if (!leaves.empty() && healthy == leaves.size())
        return VDEV_STATE_HEALTHY;
    if (healthy == 0)
        return VDEV_STATE_CANT_OPEN;
    return VDEV_STATE_DEGRADED;
}

}  // namespace platform::zfs_emul
