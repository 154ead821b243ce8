// run_capture: fork, exec with standard output on a pipe, read all, reap.
#include "nodeactions/tool_runner.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nodeactions {

namespace {

void set(std::string* err, const std::string& text)
{
    if (err != nullptr)
        *err = text;
}

// A parent that ignores SIGCHLD hands that on through exec, and then the kernel
// reaps our tools itself: waitpid finds no child (ECHILD), on FreeBSD as on Linux.
// SA_NOCLDWAIT does the same. Only those settings are undone; a handler stays.
void let_children_be_waited_for()
{
    struct sigaction now {};
    if (::sigaction(SIGCHLD, nullptr, &now) != 0)
        return;
    if (now.sa_handler != SIG_IGN && (now.sa_flags & SA_NOCLDWAIT) == 0)
        return;
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(SIGCHLD, &dfl, nullptr);
}

}  // namespace

std::optional<run_result> run_capture(const std::string& program, const std::vector<std::string>& args,
                                      std::string* err)
{
    // Everything the child needs is built before the fork.
    std::vector<std::string> storage;
    storage.reserve(args.size() + 1);
    storage.push_back(program);
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    let_children_be_waited_for();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        set(err, std::string("pipe: ") + std::strerror(errno));
        return std::nullopt;
    }
    pid_t pid = ::fork();
    if (pid < 0) {
        int saved = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        set(err, std::string("fork: ") + std::strerror(saved));
        return std::nullopt;
    }
    if (pid == 0) {
        ::close(fds[0]);
        if (fds[1] == STDOUT_FILENO) {
            // The pipe took the free descriptor 1: keep it open across exec.
            if (::fcntl(STDOUT_FILENO, F_SETFD, 0) != 0)
                ::_exit(127);
        } else {
            if (::dup2(fds[1], STDOUT_FILENO) < 0)
                ::_exit(127);
            ::close(fds[1]);
        }
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }

    ::close(fds[1]);
    run_result result;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n > 0) {
            result.output.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    ::close(fds[0]);

    int status = 0;
    for (;;) {
        if (::waitpid(pid, &status, 0) == pid)
            break;
        if (errno != EINTR) {
            set(err, std::string("waitpid: ") + std::strerror(errno));
            return std::nullopt;
        }
    }
    if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
        if (result.status == 127)
            set(err, "failed to exec " + program);
        return result;
    }
    if (WIFSIGNALED(status)) {
        set(err, "killed by signal " + std::to_string(WTERMSIG(status)));
        return std::nullopt;
    }
    set(err, "abnormal wait status " + std::to_string(status));
    return std::nullopt;
}

}  // namespace nodeactions
