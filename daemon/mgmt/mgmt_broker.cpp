// The broker loop and the worker loop.
#include "daemon/mgmt/mgmt_broker.hpp"

#include "daemon/mgmt/mgmt_log_text.hpp"
#include "daemon/mgmt/mgmt_request.hpp"
#include "platform/process.hpp"

#include <spdlog/spdlog.h>

#include <deque>
#include <exception>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace mgmt {

using nlohmann::json;

namespace {

constexpr std::string_view READY = "READY";

std::string_view view(const zmq::message_t& m)
{
    return {static_cast<const char*>(m.data()), m.size()};
}

// Every part of one message. Parts beyond `keep` are received and dropped, so
// a sender of too many parts cannot leave the rest behind for the next read;
// `count` is the number of parts the message had.
std::vector<zmq::message_t> recv_message(zmq::socket_t& s, std::size_t keep, std::size_t& count)
{
    std::vector<zmq::message_t> parts;
    count = 0;
    for (;;) {
        zmq::message_t part;
        (void)s.recv(part, zmq::recv_flags::none);  // blocking: never empty-handed
        ++count;
        const bool more = part.more();
        if (parts.size() < keep)
            parts.push_back(std::move(part));
        if (!more)
            return parts;
    }
}

void send_parts(zmq::socket_t& s, std::vector<zmq::const_buffer> parts)
{
    for (std::size_t i = 0; i < parts.size(); ++i)
        s.send(parts[i], i + 1 < parts.size() ? zmq::send_flags::sndmore : zmq::send_flags::none);
}

// The connection's "Peer-Address". The library attaches the connection's
// properties to the parts it received, not always to the routing-id part it
// makes up itself, so the other parts are asked as well.
std::string peer_address(std::vector<zmq::message_t>& parts)
{
    for (auto& part : parts)
        if (const char* p = zmq_msg_gets(part.handle(), "Peer-Address"))
            return p;
    return {};
}

// Polls without a time-out; an interrupted poll is polled again.
void poll_blocking(zmq::pollitem_t* items, std::size_t n)
{
    for (;;) {
        try {
            zmq::poll(items, n, std::chrono::milliseconds(-1));
            return;
        } catch (const zmq::error_t& e) {
            if (e.num() != EINTR)
                throw;
        }
    }
}

// A worker's message: an announcement [worker, "", "READY"] or a reply
// [worker, "", client, "", reply]. Either way the worker is idle again.
void from_backend(zmq::socket_t& back, zmq::socket_t& front, std::deque<zmq::message_t>& idle, mgmt_app& app)
{
    std::size_t count = 0;
    auto parts = recv_message(back, 5, count);
    idle.push_back(std::move(parts[0]));
    if (count == 3 && view(parts[2]) == READY) {
        spdlog::info("{}: Worker connected", APP_NAME);
    } else if (count == 5) {
        send_parts(front, {zmq::buffer(parts[2].data(), parts[2].size()), zmq::const_buffer(),
                           zmq::buffer(parts[4].data(), parts[4].size())});
        app.request_answered();
    } else {
        spdlog::warn("{}: malformed worker message of {} parts dropped", APP_NAME, count);
    }
}

// A client's request. Only [routing id, "", request] is a request; anything else
// (a DEALER without the delimiter, extra parts) is dropped and costs no worker.
void from_frontend(zmq::socket_t& front, zmq::socket_t& back, std::deque<zmq::message_t>& idle, mgmt_app& app)
{
    std::size_t count = 0;
    auto parts = recv_message(front, 3, count);
    if (count != 3 || parts[1].size() != 0) {
        if (spdlog::should_log(spdlog::level::debug))
            spdlog::debug("{}: malformed request from {} dropped ({} parts)", APP_NAME,
                          peer_label(peer_address(parts), view(parts[0])), count);
        return;
    }
    const std::string peer = peer_address(parts);
    const zmq::message_t& worker = idle.front();
    send_parts(back, {zmq::buffer(worker.data(), worker.size()), zmq::const_buffer(),
                      zmq::buffer(parts[0].data(), parts[0].size()), zmq::const_buffer(),
                      zmq::buffer(parts[2].data(), parts[2].size()), zmq::buffer(peer)});
    idle.pop_front();
    app.request_started();
}

void worker_thread(zmq::context_t& ctx, const json& config, mgmt_app& app)
{
    platform::thread_set_name("mgmt_worker");
    try {
        backend_worker(ctx, config, app);
    } catch (const std::exception& e) {
        spdlog::warn("{}: std exception: {}", APP_NAME, e.what());
    } catch (...) {
        spdlog::warn("{}: std exception: {}", APP_NAME, "unknown");
    }
}

}  // namespace

void backend_worker(zmq::context_t& ctx, json config, mgmt_app& app)
{
    try {
        zmq::socket_t s(ctx, zmq::socket_type::req);
        s.set(zmq::sockopt::linger, 0);
        s.connect(WORKERS_URL);
        s.send(zmq::buffer(READY), zmq::send_flags::none);
        for (;;) {
            std::size_t count = 0;
            auto parts = recv_message(s, 4, count);
            parts.resize(4);  // the broker always sends four; missing ones read as empty
            const std::string label = peer_label(view(parts[3]), view(parts[0]));
            const std::string reply = handle_request(view(parts[2]), label, config, app);
            send_parts(s, {zmq::buffer(parts[0].data(), parts[0].size()), zmq::const_buffer(), zmq::buffer(reply)});
        }
    } catch (const zmq::error_t& e) {
        if (e.num() == ETERM)
            spdlog::info("{}: backend exit", APP_NAME);
        else
            spdlog::warn("{}: zmq exception: {} at {}", APP_NAME, e.what(), "backend_worker");
    } catch (const std::exception& e) {
        spdlog::warn("{}: std exception: {}", APP_NAME, e.what());
    }
}

void mgmt_broker(zmq::context_t& ctx, json config, mgmt_app& app)
{
    const std::string url = config.at("cluster").at("mgmt-url").get<std::string>();
    zmq::socket_t front(ctx, zmq::socket_type::router);
    // Sockets closed when leadership ends drop what they hold at once.
    front.set(zmq::sockopt::linger, 0);
    front.set(zmq::sockopt::maxmsgsize, MAX_REQUEST_BYTES);
    spdlog::info("{}: ACTIVATING... Try to bind ZMQ socket: {}", APP_NAME, url);
    for (;;) {
        try {
            front.bind(url);
            break;
        } catch (const std::exception& e) {
            spdlog::debug("{}: bind {} failed: {}", APP_NAME, url, e.what());
            if (app.wait_while_active() != STATE_ACTIVE)
                return;
        }
    }
    spdlog::info("{}: ACTIVATED. Ready to receive ZMQ requests.", APP_NAME);

    zmq::socket_t back(ctx, zmq::socket_type::router);
    back.set(zmq::sockopt::linger, 0);
    back.bind(WORKERS_URL);

    std::vector<std::thread> workers;
    std::exception_ptr failure;
    try {
        for (int i = 0; i < WORKER_COUNT; ++i)
            workers.emplace_back(worker_thread, std::ref(ctx), std::cref(config), std::ref(app));
        std::deque<zmq::message_t> idle;
        for (;;) {
            zmq::pollitem_t items[2] = {{back.handle(), 0, ZMQ_POLLIN, 0}, {front.handle(), 0, ZMQ_POLLIN, 0}};
            poll_blocking(items, idle.empty() ? 1 : 2);
            if (items[0].revents & ZMQ_POLLIN)
                from_backend(back, front, idle, app);
            if (!idle.empty() && (items[1].revents & ZMQ_POLLIN))
                from_frontend(front, back, idle, app);
        }
    } catch (...) {
        failure = std::current_exception();
    }
    back.close();
    for (auto& w : workers)
        w.join();
    front.close();
    std::rethrow_exception(failure);
}

}  // namespace mgmt
