// Test double of the daemon's management endpoint: a ZMQ ROUTER on a free
// loopback port, served by its own thread, answering each request with a scripted
// reply (or not at all) and keeping every request it received.
//
// Locking: `mutex_` guards the script and the request list; the thread alone
// uses the ZMQ context and socket.
#pragma once

#include <nlohmann/json.hpp>
#include <zmq.hpp>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace cli::testing {

class fake_mgmt_endpoint {
public:
    // The reply text for a request text; no value: the request is never answered.
    using script = std::function<std::optional<std::string>(const std::string& request)>;

    fake_mgmt_endpoint();
    ~fake_mgmt_endpoint();
    fake_mgmt_endpoint(const fake_mgmt_endpoint&) = delete;
    fake_mgmt_endpoint& operator=(const fake_mgmt_endpoint&) = delete;

    // "tcp://127.0.0.1:PORT".
    const std::string& url() const { return url_; }

    void set_script(script s);
    // Answers by the request's "call" and "cmd" ("node status" -> reply text); a
    // request with no entry gets an "ENOENT" error reply.
    void set_answers(std::map<std::string, std::string> answers);
    // Takes every request and answers none.
    void set_silent();

    // The requests received so far, as parsed JSON (text that is not JSON: a string).
    std::vector<nlohmann::json> requests() const;

private:
    void serve();

    std::atomic<bool> stop_{false};
    std::string url_;
    mutable std::mutex mutex_;
    script script_;
    std::vector<nlohmann::json> requests_;
    zmq::context_t ctx_{1};
    zmq::socket_t sock_{ctx_, zmq::socket_type::router};
    std::thread thread_;
};

// A loopback TCP address where nothing listens: connections are refused at once.
std::string refused_url();

// A loopback TCP listener that never accepts and never speaks. `full`: its
// accept queue is full, so a further connection attempt is neither accepted nor
// refused. Otherwise the kernel completes connections on its behalf, and a ZMQ
// peer sees a connection whose handshake never comes.
class idle_tcp_listener {
public:
    explicit idle_tcp_listener(bool full);
    ~idle_tcp_listener();
    idle_tcp_listener(const idle_tcp_listener&) = delete;
    idle_tcp_listener& operator=(const idle_tcp_listener&) = delete;
    const std::string& url() const { return url_; }

private:
    int listen_fd_ = -1;
    std::vector<int> fillers_;
    std::string url_;
};

}  // namespace cli::testing
