// Program execution for the Runner: fork and exec with the signal state reset, output
// into an unlinked temporary file, waitpid for the end.
#include "runner/program.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace runner {

namespace {

// An unlinked file in $TMPDIR (or /tmp); -1 on failure.
int open_output_file(std::string* why)
{
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/kelm-runner-out-XXXXXX";
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        *why = "can't create an output file in " + path + ": " + std::strerror(errno);
        return -1;
    }
    ::unlink(name.data());
    return fd;
}

std::string read_tail(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return {};
    off_t start = st.st_size > static_cast<off_t>(output_tail_bytes) ? st.st_size - output_tail_bytes : 0;
    std::string out(static_cast<std::size_t>(st.st_size - start), '\0');
    std::size_t got = 0;
    while (got < out.size()) {
        ssize_t n = ::pread(fd, out.data() + got, out.size() - got, start + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    out.resize(got);
    return out;
}

// In the child between fork and exec: only async-signal-safe calls. Returns only on
// failure, with the errno to report.
int exec_child(const char* path, char* const* argv, int devnull, int out)
{
    // Default dispositions (exec resets caught signals but keeps ignored ones), then
    // an empty mask set with the raw system call: the C library's wrappers keep its
    // own internal signals blocked, and a program must start with nothing blocked.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig)
        ::sigaction(sig, &dfl, nullptr);
    uint64_t none = 0;
    ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, sizeof none);
    if (::dup2(devnull, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0)
        return errno;
    ::execve(path, argv, environ);
    return errno;
}

}  // namespace

program_result run_program(const std::vector<std::string>& argv)
{
    program_result r;
    if (argv.empty()) {
        r.start_error = "no program";
        return r;
    }
    int out = open_output_file(&r.start_error);
    if (out < 0)
        return r;

    int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    int report[2];
    if (devnull < 0 || ::pipe2(report, O_CLOEXEC) != 0) {
        r.start_error = std::string("can't prepare ") + argv[0] + ": " + std::strerror(errno);
        if (devnull >= 0)
            ::close(devnull);
        ::close(out);
        return r;
    }
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid == 0) {
        int err = exec_child(argv[0].c_str(), args.data(), devnull, out);
        (void)!::write(report[1], &err, sizeof err);
        ::_exit(127);
    }
    int fork_errno = errno;
    ::close(report[1]);
    ::close(devnull);
    if (pid < 0) {
        ::close(report[0]);
        ::close(out);
        r.start_error = std::string("can't start ") + argv[0] + ": " + std::strerror(fork_errno);
        return r;
    }
    // The report pipe closes on a successful exec; an errno arrives when exec failed.
    int exec_errno = 0;
    ssize_t got;
    do {
        got = ::read(report[0], &exec_errno, sizeof exec_errno);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            r.start_error = std::string("can't wait for ") + argv[0] + ": " + std::strerror(errno);
            ::close(out);
            return r;
        }
    }
    r.output_tail = read_tail(out);
    ::close(out);
    if (got == static_cast<ssize_t>(sizeof exec_errno)) {
        r.start_error = "can't run " + argv[0] + ": " + std::strerror(exec_errno);
        return r;
    }
    if (WIFSIGNALED(status)) {
        r.ended = program_result::how::signalled;
        r.code = WTERMSIG(status);
    } else {
        r.ended = program_result::how::exited;
        r.code = WEXITSTATUS(status);
    }
    return r;
}

std::string last_failed_line(const std::string& output)
{
    std::size_t last = output.rfind("FAILED");
    if (last == std::string::npos)
        return {};
    // From the first "FAILED" of that line: the log prefix goes, the message stays whole.
    std::size_t line_start = output.rfind('\n', last);
    line_start = line_start == std::string::npos ? 0 : line_start + 1;
    std::size_t pos = output.find("FAILED", line_start);
    std::size_t end = output.find('\n', pos);
    std::string line = output.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

}  // namespace runner
