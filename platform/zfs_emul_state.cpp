// The emulated pool state file: locking, reading, atomic rewriting, the
// operation log, and the administrative calls. Lock rule: the exclusive flock of
// the separate "lock" file covers every read and write of state.json and ops.log.
#include "platform/zfs_emul.hpp"

#include "platform/emulation.hpp"
#include "platform/zfs.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace platform::zfs_emul {

namespace {

using namespace platform::zfs;

class fd_guard {
public:
    explicit fd_guard(int fd) : fd_(fd) {}
    ~fd_guard()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    fd_guard(const fd_guard&) = delete;
    fd_guard& operator=(const fd_guard&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

json empty_state()
{
    return json{{"next_id", 1}, {"double_imports", 0}, {"hosts", json::object()}, {"pools", json::object()},
                {"faults", json::array()}};
}

bool write_all(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
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
    }
    return true;
}

// Fills absent members of a pool record and checks the kinds of the present
// ones, so the library calls never meet a member of the wrong kind.
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
    for (const auto& ds : pool["datasets"])
        if (!ds.is_object())
            return false;
    for (const auto& vol : pool["zvols"])
        if (!vol.is_string())
            return false;
    return vdevs_well_formed(pool["vdevs"]);
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
    if (!make_dirs(dir))
        return fail(err, "can't create " + dir + ": " + std::strerror(errno));
    fd_guard lock(::open((dir + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (lock.get() < 0)
        return fail(err, "can't open pool state lock: " + std::string(std::strerror(errno)));
    while (::flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            return fail(err, "can't lock pool state: " + std::string(std::strerror(errno)));
    }
    // The lock is released when the descriptor closes, on every path.
    const std::string path = dir + "/state.json";
    json state;
    {
        std::ifstream in(path);
        if (!in.is_open()) {
            state = empty_state();
        } else {
            try {
                state = json::parse(in);
            } catch (const json::exception& e) {
                return fail(err, std::string("pool state unreadable: ") + e.what());
            }
        }
    }
    // A hand-edited file must not make the calls below guess: the members every
    // call walks have to be of their kind.
    if (!state.is_object() || !state.value("pools", json::object()).is_object() ||
        !state.value("hosts", json::object()).is_object() || !state.value("faults", json::array()).is_array())
        return fail(err, "pool state malformed: \"pools\", \"hosts\" must be objects, \"faults\" an array");
    for (const char* key : {"pools", "hosts"})
        if (!state.contains(key))
            state[key] = json::object();
    if (!state.contains("faults"))
        state["faults"] = json::array();
    for (auto& [id, pool] : state["pools"].items()) {
        if (!normalize_pool(pool))
            return fail(err, "pool state malformed: pool " + id);
    }
    for (const auto& f : state["faults"])
        if (!f.is_object())
            return fail(err, "pool state malformed: a fault is not an object");
    std::vector<json> ops;
    bool write = false;
    try {
        write = fn(state, ops);
    } catch (const json::exception& e) {
        return fail(err, std::string("pool state malformed: ") + e.what());
    }
    if (write) {
        const std::string tmp = path + ".tmp";
        fd_guard out(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (out.get() < 0 || !write_all(out.get(), state.dump(1) + "\n"))
            return fail(err, "can't write pool state: " + std::string(std::strerror(errno)));
        if (::rename(tmp.c_str(), path.c_str()) != 0)
            return fail(err, "can't replace pool state: " + std::string(std::strerror(errno)));
    }
    if (!ops.empty()) {
        fd_guard log(::open((dir + "/ops.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        std::string text;
        for (const auto& op : ops)
            text += op.dump() + "\n";
        if (log.get() < 0 || !write_all(log.get(), text))
            return fail(err, "can't append to the pool operation log: " + std::string(std::strerror(errno)));
    }
    return true;
}

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

std::string host_device_dir(const std::string& host)
{
    auto root = emulated_root();
    return root ? *root + "/hosts/" + host + "/dev" : std::string("/dev");
}

void make_zvol_nodes(const json& pool, const std::string& host)
{
    const std::string dir = host_device_dir(host) + "/zvol/" + pool.value("name", "");
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
    const std::string dir = host_device_dir(host) + "/zvol/" + pool.value("name", "");
    if (!pool.contains("zvols"))
        return;
    for (const auto& vol : pool["zvols"])
        if (vol.is_string())
            ::unlink((dir + "/" + vol.get<std::string>()).c_str());
    ::rmdir(dir.c_str());
}

}  // namespace platform::zfs_emul
