// The broker loop and the worker loop.
#include "daemon/mgmt/mgmt_broker.hpp"

#include "daemon/mgmt/mgmt_front_guard.hpp"
#include "daemon/mgmt/mgmt_log_text.hpp"
#include "daemon/mgmt/mgmt_request.hpp"
#include "platform/process.hpp"

#include <spdlog/spdlog.h>

#include <chrono>
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

// Polls; an interrupted poll is polled again (with the whole time-out).
void poll_items(zmq::pollitem_t* items, std::size_t n, std::chrono::milliseconds timeout)
{
    for (;;) {
        try {
            zmq::poll(items, n, timeout);
            return;
        } catch (const zmq::error_t& e) {
            if (e.num() != EINTR)
                throw;
        }
    }
}

// While the activation ends with requests in hand, the broker also wakes this
// often to notice a worker that failed with one (nothing else would wake it).
constexpr std::chrono::milliseconds ENDING_POLL{100};

// One activation's loop, on the broker thread.
struct broker_loop {
    zmq::context_t& ctx;
    zmq::socket_t& front;
    zmq::socket_t& back;
    front_guard& guard;
    const activation_end& end;
    const std::atomic<int>& unanswered;
    std::deque<zmq::message_t> idle;
    int busy = 0;         // requests handed to a worker whose reply has not come back
    bool ending = false;  // the activation has ended: no new request is taken

    [[noreturn]] void run();
    void from_backend();
    void from_frontend();
    void reply_to(const zmq::message_t& client, const std::string& reply);
    // Every request handed out has been answered, or its worker failed.
    bool all_answered() const { return busy <= unanswered.load(); }
};

// Items: the back end, the guard's events, the end of the activation until it
// is seen, and the front end while a worker is idle or requests are only refused.
void broker_loop::run()
{
    for (;;) {
        zmq::pollitem_t items[4];
        std::size_t n = 0;
        items[n++] = {back.handle(), 0, ZMQ_POLLIN, 0};
        items[n++] = {guard.events().handle(), 0, ZMQ_POLLIN, 0};
        const std::size_t end_at = ending ? 0 : n;
        if (!ending)
            items[n++] = {nullptr, end.fd(), ZMQ_POLLIN, 0};
        const std::size_t front_at = ending || !idle.empty() ? n : 0;
        if (front_at != 0)
            items[n++] = {front.handle(), 0, ZMQ_POLLIN, 0};
        auto timeout = guard.poll_timeout();
        if (ending && (timeout.count() < 0 || timeout > ENDING_POLL))
            timeout = ENDING_POLL;
        poll_items(items, n, timeout);

        if (items[0].revents & ZMQ_POLLIN)
            from_backend();
        if (items[1].revents & ZMQ_POLLIN)
            guard.on_events();
        if (end_at != 0 && (items[end_at].revents & ZMQ_POLLIN)) {
            ending = true;
            if (!all_answered())
                spdlog::info("{}: leadership ended: {} request(s) in progress are answered before the endpoint "
                             "closes; new ones are refused",
                             APP_NAME, busy - unanswered.load());
        }
        if (front_at != 0 && (items[front_at].revents & ZMQ_POLLIN))
            from_frontend();
        guard.relisten_if_due();
        if (ending && all_answered()) {
            // The replies just sent get a moment to leave; then every socket of
            // the context, the workers' included, fails with ETERM.
            front.set(zmq::sockopt::linger, FRONT_LINGER_MS);
            ctx.shutdown();
            throw zmq::error_t(ETERM);
        }
    }
}

// A worker's message: an announcement [worker, "", "READY"] or a reply
// [worker, "", client, "", reply]. Either way the worker is idle again.
void broker_loop::from_backend()
{
    std::size_t count = 0;
    auto parts = recv_message(back, 5, count);
    idle.push_back(std::move(parts[0]));
    if (count == 3 && view(parts[2]) == READY) {
        spdlog::info("{}: Worker connected", APP_NAME);
        return;
    }
    busy -= busy > 0 ? 1 : 0;
    if (count == 5)
        send_parts(front, {zmq::buffer(parts[2].data(), parts[2].size()), zmq::const_buffer(),
                           zmq::buffer(parts[4].data(), parts[4].size())});
    else
        spdlog::warn("{}: malformed worker message of {} parts dropped", APP_NAME, count);
}

void broker_loop::reply_to(const zmq::message_t& client, const std::string& reply)
{
    send_parts(front, {zmq::buffer(client.data(), client.size()), zmq::const_buffer(), zmq::buffer(reply)});
}

// A client's request [routing id, "", request]. A REQ client sends nothing else;
// one that sends more parts, or a request over the limit, is told so at once. A
// message without the empty delimiter (a DEALER that does not frame like REQ)
// has nowhere a reply could be addressed and is dropped; none costs a worker.
void broker_loop::from_frontend()
{
    std::size_t count = 0;
    auto parts = recv_message(front, 3, count);
    if (count < 2 || parts[1].size() != 0) {
        if (spdlog::should_log(spdlog::level::debug))
            spdlog::debug("{}: malformed request from {} dropped ({} parts)", APP_NAME,
                          peer_label(peer_address(parts), view(parts[0])), count);
        return;
    }
    std::string refusal;
    if (count != 3)
        refusal = multipart_reply(count - 2);
    else if (parts[2].size() > MAX_REQUEST_BYTES)
        refusal = oversize_reply(parts[2].size(), MAX_REQUEST_BYTES);
    if (!refusal.empty()) {
        spdlog::warn("{}: request from {} failed: {}", APP_NAME, peer_label(peer_address(parts), view(parts[0])),
                     count != 3 ? "more than one part" : "too large");
        reply_to(parts[0], refusal);
        return;
    }
    if (ending) {
        reply_to(parts[0], try_again_reply(view(parts[2])));
        return;
    }
    const std::string peer = peer_address(parts);
    const zmq::message_t& worker = idle.front();
    send_parts(back, {zmq::buffer(worker.data(), worker.size()), zmq::const_buffer(),
                      zmq::buffer(parts[0].data(), parts[0].size()), zmq::const_buffer(),
                      zmq::buffer(parts[2].data(), parts[2].size()), zmq::buffer(peer)});
    idle.pop_front();
    ++busy;
}

void worker_thread(zmq::context_t& ctx, const json& config, mgmt_app& app, std::atomic<int>& unanswered)
{
    platform::thread_set_name("mgmt_worker");
    backend_worker(ctx, config, app, unanswered);
}

}  // namespace

void backend_worker(zmq::context_t& ctx, json config, mgmt_app& app, std::atomic<int>& unanswered)
{
    bool holding = false;  // a request received and not answered yet
    try {
        zmq::socket_t s(ctx, zmq::socket_type::req);
        s.set(zmq::sockopt::linger, 0);
        s.connect(WORKERS_URL);
        s.send(zmq::buffer(READY), zmq::send_flags::none);
        for (;;) {
            std::size_t count = 0;
            auto parts = recv_message(s, 4, count);
            holding = true;
            parts.resize(4);  // the broker always sends four; missing ones read as empty
            const std::string label = peer_label(view(parts[3]), view(parts[0]));
            const std::string reply = handle_request(view(parts[2]), label, config, app);
            send_parts(s, {zmq::buffer(parts[0].data(), parts[0].size()), zmq::const_buffer(), zmq::buffer(reply)});
            holding = false;
        }
    } catch (const zmq::error_t& e) {
        if (e.num() == ETERM)
            spdlog::info("{}: backend exit", APP_NAME);
        else
            spdlog::warn("{}: zmq exception: {} at {}", APP_NAME, e.what(), "backend_worker");
    } catch (const std::exception& e) {
        spdlog::warn("{}: std exception: {}", APP_NAME, e.what());
    } catch (...) {
        spdlog::warn("{}: std exception: {}", APP_NAME, "unknown");
    }
    // The broker must not wait at the end of the activation for a reply that
    // will never come.
    if (holding)
        ++unanswered;
}

void mgmt_broker(zmq::context_t& ctx, json config, mgmt_app& app, const activation_end& end)
{
    const std::string url = config.at("cluster").at("mgmt-url").get<std::string>();
    zmq::socket_t front(ctx, zmq::socket_type::router);
    // Replies still queued when the activation ends get FRONT_LINGER_MS then.
    front.set(zmq::sockopt::linger, 0);
    front.set(zmq::sockopt::maxmsgsize, MAX_FRAME_BYTES);
    const std::size_t max_connections =
        app.timing().max_connections != 0 ? app.timing().max_connections : connection_limit_for_open_files();
    front_guard guard(ctx, front, max_connections, app.timing().relisten_pause);
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
    guard.bound(url);
    spdlog::info("{}: ACTIVATED. Ready to receive ZMQ requests.", APP_NAME);

    zmq::socket_t back(ctx, zmq::socket_type::router);
    back.set(zmq::sockopt::linger, 0);
    back.bind(WORKERS_URL);

    std::atomic<int> unanswered{0};
    std::vector<std::thread> workers;
    std::exception_ptr failure;
    try {
        for (int i = 0; i < WORKER_COUNT; ++i)
            workers.emplace_back(worker_thread, std::ref(ctx), std::cref(config), std::ref(app), std::ref(unanswered));
        broker_loop{ctx, front, back, guard, end, unanswered, {}, 0, false}.run();
    } catch (...) {
        failure = std::current_exception();
    }
    // However the loop ended, the workers end with the context's shutdown (a
    // failure of the broker's own leaves the endpoint without a broker for the
    // rest of the activation anyway).
    ctx.shutdown();
    back.close();
    for (auto& w : workers)
        w.join();
    front.close();
    std::rethrow_exception(failure);
}

}  // namespace mgmt
