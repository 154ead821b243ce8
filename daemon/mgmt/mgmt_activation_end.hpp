// The end of one activation as the broker learns it: a pipe whose read end
// becomes readable once `raise` is called. The broker polls the read end beside
// its ZMQ sockets, so it learns of the end at once without a poll time-out.
//
// Threads: `raise` is called by the application thread, the read end is polled
// by the broker thread; the pipe is the only thing they share.
#pragma once

namespace mgmt {

class activation_end {
public:
    activation_end();  // throws std::system_error when no pipe can be made
    ~activation_end();
    activation_end(const activation_end&) = delete;
    activation_end& operator=(const activation_end&) = delete;

    void raise();
    // The descriptor to poll for reading.
    int fd() const { return read_fd_; }

private:
    int read_fd_ = -1;
    int write_fd_ = -1;
};

}  // namespace mgmt
