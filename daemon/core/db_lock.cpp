// Lock file beside the database.
#include "daemon/core/db_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace raft {

db_lock::~db_lock()
{
    if (fd_ >= 0)
        ::close(fd_);  // closing the descriptor releases the flock
}

bool db_lock::acquire(const std::string& db_path, std::string* why)
{
    if (fd_ >= 0)
        return true;
    std::string path = lock_path(db_path);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *why = "can't open lock file \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int err = errno;
        ::close(fd);
        *why = err == EWOULDBLOCK ? "database \"" + db_path + "\" is in use by another kelm (lock \"" + path + "\" is held)"
                                  : "can't lock \"" + path + "\": " + std::strerror(err);
        return false;
    }
    fd_ = fd;
    return true;
}

}  // namespace raft
