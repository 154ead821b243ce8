// Fake management endpoint and unreachable-address helpers for the utility's tests.
#include "cli/fake_mgmt_endpoint.hpp"

#include <zmq.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace cli::testing {

namespace {

// A bound loopback TCP socket on a free port; returns the fd and fills `port`.
int bound_loopback_socket(int& port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("bind failed");
    }
    port = ntohs(addr.sin_port);
    return fd;
}

}  // namespace

fake_mgmt_endpoint::fake_mgmt_endpoint()
{
    sock_.set(zmq::sockopt::linger, 0);
    sock_.bind("tcp://127.0.0.1:*");
    url_ = sock_.get(zmq::sockopt::last_endpoint);
    set_answers({});
    thread_ = std::thread([this] { serve(); });
}

fake_mgmt_endpoint::~fake_mgmt_endpoint()
{
    stop_ = true;
    thread_.join();
}

void fake_mgmt_endpoint::set_script(script s)
{
    std::lock_guard lock(mutex_);
    script_ = std::move(s);
}

void fake_mgmt_endpoint::set_answers(std::map<std::string, std::string> answers)
{
    set_script([answers = std::move(answers)](const std::string& text) -> std::optional<std::string> {
        auto req = nlohmann::json::parse(text, nullptr, false);
        std::string key;
        if (req.is_object())
            key = req.value("call", std::string()) + " " + req.value("cmd", std::string());
        auto it = answers.find(key);
        if (it == answers.end())
            return R"({"error":"ENOENT","errorMessage":"fake: no answer for )" + key + "\"}";
        return it->second;
    });
}

void fake_mgmt_endpoint::set_silent()
{
    set_script([](const std::string&) { return std::nullopt; });
}

std::vector<nlohmann::json> fake_mgmt_endpoint::requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

void fake_mgmt_endpoint::serve()
{
    try {
        auto& sock = sock_;
        while (!stop_) {
            zmq::pollitem_t item{sock.handle(), 0, ZMQ_POLLIN, 0};
            zmq::poll(&item, 1, std::chrono::milliseconds(20));
            if (!(item.revents & ZMQ_POLLIN))
                continue;
            std::vector<zmq::message_t> parts;
            do {
                parts.emplace_back();
                (void)sock.recv(parts.back());
            } while (parts.back().more());
            if (parts.size() < 3)
                continue;
            std::string text = parts.back().to_string();
            script s;
            {
                std::lock_guard lock(mutex_);
                auto parsed = nlohmann::json::parse(text, nullptr, false);
                requests_.push_back(parsed.is_discarded() ? nlohmann::json(text) : parsed);
                s = script_;
            }
            auto reply = s(text);
            if (!reply)
                continue;
            sock.send(parts[0], zmq::send_flags::sndmore);
            sock.send(zmq::message_t(), zmq::send_flags::sndmore);
            sock.send(zmq::buffer(*reply), zmq::send_flags::none);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fake_mgmt_endpoint: %s\n", e.what());
    }
}

std::string refused_url()
{
    int port = 0;
    int fd = bound_loopback_socket(port);
    ::close(fd);  // nothing listens there now
    return "tcp://127.0.0.1:" + std::to_string(port);
}

idle_tcp_listener::idle_tcp_listener(bool full)
{
    int port = 0;
    listen_fd_ = bound_loopback_socket(port);
    if (::listen(listen_fd_, full ? 0 : 16) != 0)
        throw std::runtime_error("listen failed");
    url_ = "tcp://127.0.0.1:" + std::to_string(port);
    if (!full)
        return;
    // Fill the accept queue (backlog 0 holds one connection on Linux; FreeBSD
    // holds at least one too); the connects past it stay unanswered.
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    for (int i = 0; i < 3; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            throw std::runtime_error("socket failed");
        (void)::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        fillers_.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

idle_tcp_listener::~idle_tcp_listener()
{
    for (int fd : fillers_)
        ::close(fd);
    ::close(listen_fd_);
}

}  // namespace cli::testing
