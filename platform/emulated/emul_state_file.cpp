// The shared locked state file of the emulated backends (platform/emulated/emul_state_file.hpp).
// Lock rule: the exclusive flock of "<dir>/lock" is held from before the read of
// state.json until after the log is appended; it goes with the descriptor.
#include "platform/emulated/emul_state_file.hpp"

#include "platform/emulation.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace platform::emul_state {

namespace {

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

bool fail(std::string* err, const std::string& text)
{
    if (err != nullptr)
        *err = text;
    return false;
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

}  // namespace

bool with_state(const state_file& file, const std::function<bool(json& state, std::string* err)>& check,
                const std::function<bool(json& state, std::vector<json>& log, bool* write)>& change,
                std::string* err)
{
    const std::string& dir = file.dir;
    if (!make_dirs(dir))
        return fail(err, "can't create " + dir + ": " + std::strerror(errno));
    fd_guard lock(::open((dir + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (lock.get() < 0)
        return fail(err, file.open_lock + std::strerror(errno));
    while (::flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            return fail(err, file.lock + std::strerror(errno));
    }
    // The lock is released when the descriptor closes, on every path.
    const std::string path = dir + "/state.json";
    json state;
    {
        std::ifstream in(path);
        if (!in.is_open()) {
            state = file.empty;
        } else {
            try {
                state = json::parse(in);
            } catch (const json::exception& e) {
                return fail(err, file.unreadable + e.what());
            }
        }
    }
    if (!check(state, err))
        return false;
    std::vector<json> log;
    bool write = false;
    try {
        if (!change(state, log, &write))
            return false;
    } catch (const json::exception& e) {
        return fail(err, file.malformed + e.what());
    }
    std::string state_text;
    std::string log_text;
    try {
        if (write)
            state_text = state.dump(1) + "\n";
        for (const auto& record : log)
            log_text += record.dump() + "\n";
    } catch (const json::exception& e) {
        return fail(err, file.write + e.what());
    }
    if (write) {
        const std::string tmp = path + ".tmp";
        fd_guard out(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (out.get() < 0 || !write_all(out.get(), state_text))
            return fail(err, file.write + std::strerror(errno));
        if (::rename(tmp.c_str(), path.c_str()) != 0)
            return fail(err, file.replace + std::strerror(errno));
    }
    if (!log.empty()) {
        fd_guard out(::open((dir + "/" + file.log_name).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        if (out.get() < 0 || !write_all(out.get(), log_text))
            return fail(err, file.append + std::strerror(errno));
    }
    return true;
}

}  // namespace platform::emul_state
