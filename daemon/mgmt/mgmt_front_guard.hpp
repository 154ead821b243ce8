// The front end's defence against connection floods.
//
// libzmq accepts every TCP connection it can, and when accept() fails for want
// of a descriptor its listener is woken again at once: the I/O thread spins at
// full CPU, the endpoint stops answering, and every other part of the daemon
// (the command log, the Runner calls) finds no descriptor either. So the guard
// counts the front end's connections from the socket's monitor events, and when
// they reach the limit, or an accept fails all the same, it stops listening,
// which closes every connection of the listener at once (clients that were
// waiting for a reply get none and must ask again). It listens again after a
// pause. A limit of half the open-file limit keeps the other half for the rest
// of the daemon.
//
// Threads: the broker thread alone uses the guard, the front socket and the
// event socket.
#pragma once

#include "daemon/core/log_throttle.hpp"

#include <zmq.hpp>

#include <chrono>
#include <cstddef>
#include <string>

namespace mgmt {

// Half the soft open-file limit, between 8 and 1024.
std::size_t connection_limit_for_open_files();

class front_guard {
public:
    using clock = std::chrono::steady_clock;

    // Starts watching `front`, which is not bound yet.
    front_guard(zmq::context_t& ctx, zmq::socket_t& front, std::size_t max_connections,
                std::chrono::milliseconds relisten_pause);
    front_guard(const front_guard&) = delete;
    front_guard& operator=(const front_guard&) = delete;

    // The front end has been bound at `url`.
    void bound(const std::string& url);
    // The socket of the front end's events, to poll for reading.
    zmq::socket_t& events() { return events_; }
    // Takes every event waiting; stops listening when the limit is reached or an
    // accept failed.
    void on_events();
    // How long the broker may block in its poll: for ever (-1) while listening,
    // else until the next attempt to listen again.
    std::chrono::milliseconds poll_timeout() const;
    // Listens again once the pause is over (and after a failed attempt, one
    // pause later).
    void relisten_if_due();

    bool listening() const { return listening_; }
    std::size_t connections() const { return open_; }

private:
    void stop_listening(const std::string& why);

    zmq::socket_t& front_;
    zmq::socket_t events_;
    std::size_t max_;
    std::chrono::milliseconds pause_;
    std::string url_;
    std::string endpoint_;  // as bound, for the unbind
    bool listening_ = false;
    std::size_t open_ = 0;
    clock::time_point relisten_at_{};
    raft::log_throttle throttle_{std::chrono::seconds(60)};
};

}  // namespace mgmt
