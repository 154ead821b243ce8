// Test doubles for the management endpoint: a monitor that serves a
// configuration and a key/value map, a service manager that records requests
// (optionally slow, releasable), a running endpoint on a free port, and ZMQ
// clients. Shared by the unit tests and the benchmark.
#pragma once

#include "daemon/mgmt/mgmt_app.hpp"

#include <nlohmann/json.hpp>
#include <zmq.hpp>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace mgmt::test {

using nlohmann::json;
using namespace std::chrono_literals;

struct fake_monitor : monitor_port {
    std::mutex mutex;
    json config;
    std::optional<json> config_reply;  // replaces the normal get-cluster-config reply
    std::map<std::string, std::string> kv;
    std::atomic<int> config_calls{0};
    std::atomic<int> registered{0}, unregistered{0};

    void register_app(monitor::app_record*) override { ++registered; }
    void unregister_app(monitor::app_record*) override { ++unregistered; }
    void call(uint32_t, const std::string& cmd, json& io) override
    {
        std::lock_guard lk(mutex);
        if (cmd == "get-cluster-config") {
            ++config_calls;
            io = config_reply ? *config_reply : json{{"response", config}};
        } else if (cmd == "get-value") {
            auto it = kv.find(io.at("key").get<std::string>());
            io = it != kv.end() ? json{{"response", it->second}}
                                : json{{"error", "ENOENT"}, {"errorMessage", "key not found"}};
        } else {
            io = {{"error", "ENOENT"}, {"errorMessage", "unknown"}};
        }
    }
};

// Answers {"got": request} unless `answer` says otherwise; `delay` makes it slow.
struct fake_service_manager : service_manager_port {
    std::mutex mutex;
    std::vector<json> requests;
    std::function<json(const json&)> answer;
    std::chrono::milliseconds delay{0};
    std::atomic<int> in_flight{0}, max_in_flight{0};

    json svcapp_call(const json& request) override
    {
        const int now = ++in_flight;
        for (int m = max_in_flight.load(); now > m && !max_in_flight.compare_exchange_weak(m, now);) {
        }
        {
            std::lock_guard lk(mutex);
            requests.push_back(request);
        }
        if (delay.count() > 0)
            std::this_thread::sleep_for(delay);
        json out = answer ? answer(request) : json{{"got", request}};
        --in_flight;
        return out;
    }
};

inline int free_tcp_port()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// The configuration of the protocol tests: nodes 1, 2, 5 and 70; services web, db, nfs.
inline json sample_config(const std::string& url = "tcp://127.0.0.1:1")
{
    return json::parse(R"({"cluster": {"mgmt-url": ")" + url + R"("},
        "nodes": [{"id": 1, "nodename": "n1"}, {"id": 2, "nodename": "n2"},
                  {"id": 5, "nodename": "n5"}, {"id": 70, "nodename": "n70"}],
        "services": [{"name": "web"}, {"name": "db"}, {"name": "nfs"}]})");
}

// A running application: its thread, the fakes, the endpoint's URL.
struct endpoint_rig {
    fake_monitor mon;
    fake_service_manager svc;
    std::string url;
    std::unique_ptr<mgmt_app> app;
    std::thread thread;

    explicit endpoint_rig(mgmt_timing timing = {200ms, 100ms})
        : url("tcp://127.0.0.1:" + std::to_string(free_tcp_port()))
    {
        mon.config = sample_config(url);
        app = std::make_unique<mgmt_app>(mon, svc, timing);
        thread = std::thread([this] { app->run(); });
    }
    ~endpoint_rig() { stop(); }
    void stop()
    {
        if (thread.joinable()) {
            app->doevent("EXIT", "");
            thread.join();
        }
    }
};

// A REQ client with a receive time-out: the reply text, or nullopt on time-out.
struct client {
    zmq::context_t ctx;
    zmq::socket_t sock;
    explicit client(const std::string& url, std::chrono::milliseconds timeout = 3000ms,
                    const std::string& routing_id = "")
        : sock(ctx, zmq::socket_type::req)
    {
        sock.set(zmq::sockopt::linger, 0);
        sock.set(zmq::sockopt::rcvtimeo, static_cast<int>(timeout.count()));
        if (!routing_id.empty())
            sock.set(zmq::sockopt::routing_id, routing_id);
        sock.connect(url);
    }
    std::optional<std::string> ask(const std::string& text)
    {
        sock.send(zmq::buffer(text), zmq::send_flags::none);
        zmq::message_t m;
        if (!sock.recv(m))
            return std::nullopt;
        return m.to_string();
    }
};

// Asks until the endpoint answers (it binds asynchronously) or `within` passes.
inline std::optional<std::string> ask_until_up(const std::string& url, const std::string& text,
                                               std::chrono::milliseconds within = 5000ms)
{
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (std::chrono::steady_clock::now() < deadline) {
        client c(url, 300ms);
        if (auto r = c.ask(text))
            return r;
    }
    return std::nullopt;
}

}  // namespace mgmt::test
