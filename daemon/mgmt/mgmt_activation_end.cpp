// The activation-end pipe; see mgmt_activation_end.hpp.
#include "daemon/mgmt/mgmt_activation_end.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace mgmt {

activation_end::activation_end()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::system_error(errno, std::generic_category(), "activation end pipe");
    read_fd_ = fds[0];
    write_fd_ = fds[1];
}

activation_end::~activation_end()
{
    ::close(read_fd_);
    ::close(write_fd_);
}

// One byte is enough: nothing ever reads it, so the read end stays readable.
void activation_end::raise()
{
    const char byte = 1;
    while (::write(write_fd_, &byte, 1) < 0 && errno == EINTR) {
    }
}

}  // namespace mgmt
