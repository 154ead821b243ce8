// The front end's connection count and its listener's pauses; see
// mgmt_front_guard.hpp.
#include "daemon/mgmt/mgmt_front_guard.hpp"

#include "daemon/mgmt/mgmt_app.hpp"

#include <spdlog/spdlog.h>

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace mgmt {

namespace {

// Per activation: each activation has a context, and inproc names, of its own.
constexpr const char* EVENTS_URL = "inproc://mgmt-front-events";
constexpr std::size_t MIN_CONNECTIONS = 8;
constexpr std::size_t MAX_CONNECTIONS = 1024;

// zmq_socket_monitor's first part: the event number (u16), then its value (u32),
// in host order. Zero when the part has another size.
uint16_t event_of(const zmq::message_t& m, uint32_t& value)
{
    uint16_t ev = 0;
    value = 0;
    if (m.size() != sizeof ev + sizeof value)
        return 0;
    std::memcpy(&ev, m.data(), sizeof ev);
    std::memcpy(&value, static_cast<const char*>(m.data()) + sizeof ev, sizeof value);
    return ev;
}

}  // namespace

std::size_t connection_limit_for_open_files()
{
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY)
        return MAX_CONNECTIONS;
    return std::clamp<std::size_t>(static_cast<std::size_t>(rl.rlim_cur / 2), MIN_CONNECTIONS, MAX_CONNECTIONS);
}

front_guard::front_guard(zmq::context_t& ctx, zmq::socket_t& front, std::size_t max_connections,
                         std::chrono::milliseconds relisten_pause)
    : front_(front), events_(ctx, zmq::socket_type::pair), max_(max_connections), pause_(relisten_pause)
{
    events_.set(zmq::sockopt::linger, 0);
    if (zmq_socket_monitor(front_.handle(), EVENTS_URL,
                           ZMQ_EVENT_ACCEPTED | ZMQ_EVENT_ACCEPT_FAILED | ZMQ_EVENT_DISCONNECTED) != 0)
        throw zmq::error_t();
    events_.connect(EVENTS_URL);
}

void front_guard::bound(const std::string& url)
{
    url_ = url;
    endpoint_ = front_.get(zmq::sockopt::last_endpoint);
    listening_ = true;
    open_ = 0;
}

void front_guard::on_events()
{
    for (;;) {
        zmq::message_t head, address;
        if (!events_.recv(head, zmq::recv_flags::dontwait))
            return;
        if (head.more())
            (void)events_.recv(address, zmq::recv_flags::none);  // parts come together
        if (!listening_)
            continue;  // the closed listener's last events
        uint32_t value = 0;
        switch (event_of(head, value)) {
        case ZMQ_EVENT_ACCEPTED:
            if (++open_ >= max_)
                stop_listening(std::to_string(open_) + " connections reach the limit of " + std::to_string(max_));
            break;
        case ZMQ_EVENT_DISCONNECTED:
            open_ -= open_ > 0 ? 1 : 0;
            break;
        case ZMQ_EVENT_ACCEPT_FAILED:
            stop_listening(std::string("accepting a connection failed: ") + std::strerror(static_cast<int>(value)));
            break;
        default: break;
        }
    }
}

void front_guard::stop_listening(const std::string& why)
{
    try {
        front_.unbind(endpoint_);
    } catch (const zmq::error_t& e) {
        if (e.num() == ETERM)
            throw;
        spdlog::warn("{}: {} at {}, but the listener cannot be closed: {}", APP_NAME, why, url_, e.what());
        return;
    }
    uint64_t held = 0;
    if (throttle_.allow(&held))
        spdlog::warn("{}: {} at {}: every connection there is closed, and new ones are taken again in {} ms{}", APP_NAME, why,
                     url_, pause_.count(),
                     held ? " (" + std::to_string(held) + " more times since the last such line)" : "");
    listening_ = false;
    open_ = 0;
    relisten_at_ = clock::now() + pause_;
}

std::chrono::milliseconds front_guard::poll_timeout() const
{
    if (listening_ || url_.empty())
        return std::chrono::milliseconds(-1);
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(relisten_at_ - clock::now());
    return std::max(left, std::chrono::milliseconds(0));
}

void front_guard::relisten_if_due()
{
    if (listening_ || url_.empty() || clock::now() < relisten_at_)
        return;
    on_events();  // what the closed listener still reported
    try {
        front_.bind(url_);
    } catch (const zmq::error_t& e) {
        if (e.num() == ETERM)
            throw;
        spdlog::debug("{}: listening again at {} failed: {}", APP_NAME, url_, e.what());
        relisten_at_ = clock::now() + pause_;
        return;
    }
    bound(url_);
}

}  // namespace mgmt
