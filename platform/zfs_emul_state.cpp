// The emulated pool state file: locking, reading, checking, atomic rewriting,
// the operation log. Lock rule: the exclusive flock of
// the separate "lock" file covers every read and write of state.json and ops.log.
#include "platform/zfs_emul.hpp"

#include "platform/emulation.hpp"
#include "platform/zfs.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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
    for (const auto& ds : pool["datasets"])
        if (!ds.is_object())
            return false;
    for (const auto& vol : pool["zvols"])
        if (!vol.is_string())
            return false;
    return vdevs_well_formed(pool["vdevs"]);
}


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
