// The server against whatever a peer may send: bad bytes, bad shapes, floods, and
// the stop that must not wait for idle peers.
#include "rpc/client.hpp"
#include "rpc/server.hpp"
#include "rpc/test_peer.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace std::chrono_literals;
using rpc::test::packed;
using rpc::test::read_object;
using rpc::test::send_bytes;

namespace {

struct test_server {
    rpc::server srv{"127.0.0.1", 0};
    std::atomic<int> notes{0};

    test_server()
    {
        srv.bind("ping", [](const msgpack::object&) { return rpc::value::of(std::string("pong")); });
        srv.bind("note", [this](const msgpack::object&) {
            ++notes;
            return rpc::value::nil();
        });
        srv.bind("odd", [](const msgpack::object&) -> rpc::value { throw 42; });
        srv.start();
    }

    // The server still answers a well-formed client.
    void expect_alive()
    {
        rpc::client c("127.0.0.1", srv.port());
        ASSERT_TRUE(c.connect());
        c.set_timeout(2s);
        EXPECT_EQ(c.call("ping").get().as<std::string>(), "pong");
    }
};

std::string request(uint32_t id, const std::string& method)
{
    return packed(std::make_tuple(0, id, method, std::vector<int>()));
}

// Sends `bytes` and returns the reply, or nothing when the server closed.
std::optional<msgpack::object_handle> exchange(uint16_t port, const std::string& bytes)
{
    rpc::unique_fd fd = rpc::test::raw_connect(port);
    if (::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
        return std::nullopt;  // already closed by the server
    msgpack::unpacker unp = rpc::make_unpacker();
    return read_object(fd.get(), 5s, &unp);
}

std::string error_of(const msgpack::object_handle& reply, uint32_t id)
{
    const auto& a = reply.get().via.array;
    EXPECT_EQ(a.size, 4u);
    EXPECT_EQ(a.ptr[0].as<int>(), 1);
    EXPECT_EQ(a.ptr[1].as<uint32_t>(), id);
    EXPECT_TRUE(a.ptr[3].is_nil());
    return a.ptr[2].as<std::string>();
}

}  // namespace

TEST(RpcServer, ClosesOnBytesThatAreNotMsgpackOrNotACall)
{
    test_server s;
    const std::vector<std::string> inputs = {
        std::string("\xc1garbage", 8),
        packed(std::string("just a string")),
        packed(std::map<std::string, int>{{"a", 1}}),
        packed(std::make_tuple(0, "x", "ping", std::vector<int>())),  // msgid not an integer
        packed(std::make_tuple(0, -3, "ping", std::vector<int>())),
        packed(std::make_tuple(0, 1, "ping")),                        // three elements
        packed(std::make_tuple(1, 1, msgpack::type::nil_t(), 1)),     // a response
        packed(std::vector<int>()),
        std::string("\xdd\xff\xff\xff\xff", 5),                        // huge array header
        std::string("\xdb\x00\x60\x00\x00", 5) + std::string(5u << 20, 'z'),  // a 6 MiB string
        std::string(200, '\x91') + std::string("\x01"),                 // nested 200 deep
    };
    for (const auto& in : inputs) {
        EXPECT_FALSE(exchange(s.srv.port(), in).has_value());
        s.expect_alive();
    }
}

TEST(RpcServer, AnswersBadCallsWithAnErrorReply)
{
    test_server s;
    auto r = exchange(s.srv.port(), packed(std::make_tuple(0, 7, 5, std::vector<int>())));
    ASSERT_TRUE(r);
    EXPECT_EQ(error_of(*r, 7), "method name is not a string");
    r = exchange(s.srv.port(), packed(std::make_tuple(0, 8, "ping", 5)));
    ASSERT_TRUE(r);
    EXPECT_EQ(error_of(*r, 8), "params of 'ping' is not an array");
    r = exchange(s.srv.port(), request(9, "nosuch"));
    ASSERT_TRUE(r);
    EXPECT_EQ(error_of(*r, 9), "unknown method 'nosuch'");
    r = exchange(s.srv.port(), request(10, "odd"));
    ASSERT_TRUE(r);
    EXPECT_EQ(error_of(*r, 10), "method 'odd' failed");
    s.expect_alive();
}

TEST(RpcServer, ReassemblesSplitRequestsAndAnswersPipelinedOnesInOrder)
{
    test_server s;
    rpc::unique_fd fd = rpc::test::raw_connect(s.srv.port());
    std::string one = request(1, "ping");
    for (char b : one) {
        send_bytes(fd.get(), std::string(1, b));
        std::this_thread::sleep_for(2ms);
    }
    send_bytes(fd.get(), request(2, "ping") + packed(std::make_tuple(2, "note", std::vector<int>())) +
                             request(3, "ping"));
    msgpack::unpacker unp = rpc::make_unpacker();
    for (uint32_t id : {1u, 2u, 3u}) {
        auto r = read_object(fd.get(), 5s, &unp);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->get().via.array.ptr[1].as<uint32_t>(), id);
        EXPECT_EQ(r->get().via.array.ptr[3].as<std::string>(), "pong");
    }
    EXPECT_EQ(s.notes.load(), 1);  // the notification ran and got no reply
}

TEST(RpcServer, RefusesConnectionsBeyondTheLimit)
{
    rpc::server srv("127.0.0.1", 0);
    srv.bind("ping", [](const msgpack::object&) { return rpc::value::of(std::string("pong")); });
    srv.set_max_connections(2);
    srv.start();
    rpc::unique_fd a = rpc::test::raw_connect(srv.port());
    rpc::unique_fd b = rpc::test::raw_connect(srv.port());
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(exchange(srv.port(), request(1, "ping")).has_value());
    a.reset();
    // Room again once the server has seen the hang-up; how soon depends on the load.
    std::optional<msgpack::object_handle> r;
    for (int i = 0; i < 50 && !r; ++i) {
        std::this_thread::sleep_for(100ms);
        r = exchange(srv.port(), request(2, "ping"));
    }
    ASSERT_TRUE(r);
    EXPECT_EQ(r->get().via.array.ptr[3].as<std::string>(), "pong");
}

TEST(RpcServer, ClosesIdleConnections)
{
    rpc::server srv("127.0.0.1", 0);
    srv.bind("ping", [](const msgpack::object&) { return rpc::value::of(std::string("pong")); });
    srv.set_idle_timeout(100ms);
    srv.start();
    rpc::unique_fd idle = rpc::test::raw_connect(srv.port());
    send_bytes(idle.get(), request(1, "ping"));
    msgpack::unpacker unp = rpc::make_unpacker();
    ASSERT_TRUE(read_object(idle.get(), 2s, &unp));  // answered, then idle
    auto t0 = rpc::clock::now();
    EXPECT_FALSE(read_object(idle.get(), 3s, &unp).has_value());
    EXPECT_GE(std::chrono::duration<double>(rpc::clock::now() - t0).count(), 0.05);
}

TEST(RpcServer, StopDoesNotWaitForIdlePeers)
{
    auto srv = std::make_unique<rpc::server>("127.0.0.1", 0);
    srv->start();
    rpc::unique_fd idle = rpc::test::raw_connect(srv->port());
    send_bytes(idle.get(), std::string("\x94\x00", 2));  // half a request
    std::this_thread::sleep_for(50ms);
    auto t0 = rpc::clock::now();
    srv.reset();
    EXPECT_LT(std::chrono::duration<double>(rpc::clock::now() - t0).count(), 2.0);
}

TEST(RpcServer, BindFailureIsAnException)
{
    rpc::server first("127.0.0.1", 0);
    EXPECT_THROW(rpc::server("127.0.0.1", first.port()), std::runtime_error);
    EXPECT_THROW(rpc::server("no-such-host.invalid", 0), std::runtime_error);
}
