// Process utilities: Linux backend (pthread names, libuuid, gethostname) and the
// emulated kernel variables.
#include "platform/process.hpp"

#include "platform/emulation.hpp"

#include <spdlog/spdlog.h>
#include <uuid/uuid.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace platform {

namespace {

sigset_t stop_signal_set()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGQUIT);
    return set;
}

}  // namespace

void block_stop_signals()
{
    sigset_t set = stop_signal_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void unblock_stop_signals()
{
    sigset_t set = stop_signal_set();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void thread_set_name(const std::string& name)
{
    std::string cut = name.substr(0, 15);
    pthread_setname_np(pthread_self(), cut.c_str());
}

pthread_t thread_start(thread_fn fn, void* arg, const char* name)
{
    // The new thread inherits the creator's mask: block the stop signals around
    // the creation so only the main thread ever takes them.
    sigset_t block = stop_signal_set();
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &block, &old);
    pthread_t tid{};
    int rc = pthread_create(&tid, nullptr, fn, arg);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (rc != 0) {
        spdlog::error("[main] Can't start thread {}: {}", name, std::strerror(rc));
        process_exit(1);
    }
    std::string cut = std::string(name).substr(0, 15);
    pthread_setname_np(tid, cut.c_str());
    return tid;
}

void process_exit(int status)
{
    try {
        spdlog::apply_all([](const std::shared_ptr<spdlog::logger>& l) { l->flush(); });
    } catch (...) {
    }
    std::fflush(nullptr);
#if defined(__SANITIZE_ADDRESS__)
    __lsan_do_leak_check();
#endif
    ::_exit(status);
}

void fatal(const char* format, ...)
{
    int saved = errno;
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stderr, format, ap);
    va_end(ap);
    std::fprintf(stderr, "%s\n", std::strerror(saved));
    process_exit(1);
}

std::string make_uuid()
{
    uuid_t id;
    uuid_generate(id);
    char text[37] = {};
    uuid_unparse_lower(id, text);
    if (std::strlen(text) != 36) {
        spdlog::error("can't generate uuid");
        process_exit(1);
    }
    return text;
}

std::optional<std::string> read_hostname()
{
    // Only an emulated platform may stand in for the kernel's name: a stray
    // variable on a production node must not change which node it is.
    const char* emulated = emulated_root() ? std::getenv(emul_host_env) : nullptr;
    if (emulated != nullptr && *emulated != '\0') {
        // As strict as gethostname into the same 255-byte buffer, which fails
        // for a name that does not fit (FreeBSD and Linux: ENAMETOOLONG).
        if (std::strlen(emulated) >= 255) {
            errno = ENAMETOOLONG;
            return std::nullopt;
        }
        return std::string(emulated);
    }
    char buf[256] = {};
    if (::gethostname(buf, 255) != 0)
        return std::nullopt;
    return std::string(buf);
}

std::string get_hostname()
{
    auto name = read_hostname();
    if (!name) {
        spdlog::error("can't get hostname");
        process_exit(1);
    }
    return *name;
}

bool sysctl_set_int(const std::string& name, int32_t value)
{
    auto root = emulated_root();
    bool ok = false;
    if (root && !name.empty() && name.find('/') == std::string::npos && name[0] != '.') {
        std::string dir = *root + "/sysctl";
        std::string path = dir + "/" + name;
        std::string tmp = path + ".tmp";
        if (make_dirs(dir)) {
            int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd >= 0) {
                std::string text = std::to_string(value) + "\n";
                ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
                ok = (::fsync(fd) == 0) && ok;
                ::close(fd);
                ok = ok && ::rename(tmp.c_str(), path.c_str()) == 0;
            }
        }
    }
    if (!ok)
        spdlog::error("Can't set sysctl '{}' to {}", name, value);
    return ok;
}

}  // namespace platform
