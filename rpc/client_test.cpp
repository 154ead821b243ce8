// Client calls against the real server and against raw peers that misbehave.
#include "rpc/client.hpp"
#include "rpc/server.hpp"
#include "rpc/test_peer.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using rpc::test::packed;

namespace {

double seconds_since(rpc::clock::time_point t0)
{
    return std::chrono::duration<double>(rpc::clock::now() - t0).count();
}

struct echo_server {
    rpc::server srv{"127.0.0.1", 0};
    std::mutex m;
    std::condition_variable cv;
    bool released = false;

    echo_server()
    {
        srv.bind("echo", [](const msgpack::object& params) {
            return rpc::value::of(params.via.array.ptr[0]);
        });
        srv.bind("ping", [](const msgpack::object& params) {
            if (params.via.array.size != 0)
                throw std::runtime_error("ping takes no argument");
            return rpc::value::of(std::string("pong"));
        });
        srv.bind("add", [](const msgpack::object& params) {
            return rpc::value::of(params.via.array.ptr[0].as<int>() + params.via.array.ptr[1].as<int>());
        });
        srv.bind("hang", [this](const msgpack::object&) {
            std::unique_lock<std::mutex> lock(m);
            cv.wait_for(lock, 10s, [this] { return released; });
            return rpc::value::nil();
        });
        srv.start();
    }
    ~echo_server()
    {
        {
            std::lock_guard<std::mutex> lock(m);
            released = true;
        }
        cv.notify_all();
        srv.stop();
    }
};

// A raw peer that accepts one connection, reads one request and then does `act`
// with the socket and the request's msgid.
struct raw_peer {
    rpc::test::raw_listener l;
    std::thread t;

    explicit raw_peer(std::function<void(int fd, uint32_t msgid)> act)
    {
        t = std::thread([this, act] {
            rpc::unique_fd fd = l.accept_one();
            msgpack::unpacker unp = rpc::make_unpacker();
            auto req = rpc::test::read_object(fd.get(), 5s, &unp);
            uint32_t msgid = req ? req->get().via.array.ptr[1].as<uint32_t>() : 0;
            act(fd.get(), msgid);
        });
    }
    ~raw_peer() { t.join(); }
};

}  // namespace

TEST(RpcClient, RoundTripsOnOneConnection)
{
    echo_server s;
    rpc::client c("127.0.0.1", s.srv.port());
    ASSERT_TRUE(c.connect());
    EXPECT_EQ(c.call("ping").get().as<std::string>(), "pong");
    EXPECT_EQ(c.call("echo", std::string("{\"cmd\":\"start\",\"serviceName\":\"é\"}")).get().as<std::string>(),
              "{\"cmd\":\"start\",\"serviceName\":\"é\"}");
    EXPECT_EQ(c.call("add", 40, 2).get().as<int>(), 42);
    std::string big(200000, 'x');
    EXPECT_EQ(c.call("echo", big).get().as<std::string>(), big);
}

TEST(RpcClient, ErrorReplyIsRpcErrorAndKeepsTheConnection)
{
    echo_server s;
    rpc::client c("127.0.0.1", s.srv.port());
    ASSERT_TRUE(c.connect());
    try {
        c.call("ping", 1);
        FAIL() << "no error";
    } catch (const rpc::rpc_error& e) {
        EXPECT_EQ(rpc::kind_of(e), rpc::failure_kind::rpc_error);
        EXPECT_EQ(rpc::object_text(e.error()), "ping takes no argument");
        EXPECT_NE(std::string(e.what()).find("ping takes no argument"), std::string::npos);
    }
    EXPECT_THROW(c.call("nosuch"), rpc::rpc_error);
    EXPECT_TRUE(c.is_connected());
    EXPECT_EQ(c.call("ping").get().as<std::string>(), "pong");
}

TEST(RpcClient, SlowPeerTimesOutAndClosesTheConnection)
{
    echo_server s;
    rpc::client c("127.0.0.1", s.srv.port());
    ASSERT_TRUE(c.connect());
    c.set_timeout(100ms);
    auto t0 = rpc::clock::now();
    try {
        c.call("hang");
        FAIL() << "no time-out";
    } catch (const rpc::timeout_error& e) {
        EXPECT_EQ(rpc::kind_of(e), rpc::failure_kind::timeout);
        EXPECT_NE(std::string(e.what()).find("timed out after 100 ms"), std::string::npos) << e.what();
    }
    EXPECT_GE(seconds_since(t0), 0.09);
    EXPECT_LT(seconds_since(t0), 3.0);
    EXPECT_FALSE(c.is_connected());
    EXPECT_THROW(c.call("ping"), rpc::protocol_error);
}

TEST(RpcClient, RefusedConnectionGivesUpAfterTheWait)
{
    uint16_t port = rpc::test::unused_port();
    rpc::client c("127.0.0.1", port);
    auto t0 = rpc::clock::now();
    EXPECT_FALSE(c.connect());  // the default wait, about 1 s
    EXPECT_GE(seconds_since(t0), 0.95);
    EXPECT_LT(seconds_since(t0), 3.0);
    t0 = rpc::clock::now();
    EXPECT_FALSE(c.connect(150ms));
    EXPECT_LT(seconds_since(t0), 2.0);
    EXPECT_THROW(c.call("ping"), rpc::protocol_error);
}

TEST(RpcClient, ConnectsToAPeerThatStartsListeningDuringTheWait)
{
    uint16_t port = rpc::test::unused_port();
    std::unique_ptr<rpc::server> late;
    std::thread starter([&] {
        std::this_thread::sleep_for(200ms);
        late = std::make_unique<rpc::server>("127.0.0.1", port);
        late->bind("ping", [](const msgpack::object&) { return rpc::value::of(std::string("pong")); });
        late->start();
    });
    rpc::client c("127.0.0.1", port);
    bool ok = c.connect(2000ms);
    starter.join();
    ASSERT_TRUE(ok);
    EXPECT_EQ(c.call("ping").get().as<std::string>(), "pong");
}

TEST(RpcClient, UnresolvableHostIsNoConnection)
{
    rpc::client c("no-such-host.invalid", 1);
    EXPECT_FALSE(c.connect(200ms));
}

TEST(RpcClient, ConnectionClosedOrResetAfterSendIsATimeOut)
{
    for (bool reset : {false, true}) {
        raw_peer peer([reset](int fd, uint32_t) {
            if (reset) {
                linger lg{1, 0};  // close with RST
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
            }
        });
        rpc::client c("127.0.0.1", peer.l.port);
        ASSERT_TRUE(c.connect());
        try {
            c.call("service", std::string("{\"cmd\":\"start\"}"));
            FAIL() << "no error";
        } catch (const rpc::timeout_error& e) {
            EXPECT_NE(std::string(e.what()).find("outcome unknown"), std::string::npos) << e.what();
        }
        EXPECT_FALSE(c.is_connected());
    }
}

TEST(RpcClient, MalformedRepliesAreProtocolErrors)
{
    const std::vector<std::function<std::string(uint32_t)>> replies = {
        [](uint32_t) { return std::string("\xc1", 1); },  // never valid msgpack
        [](uint32_t) { return packed(std::string("hello")); },
        [](uint32_t id) { return packed(std::make_tuple(1, id, msgpack::type::nil_t())); },
        [](uint32_t id) { return packed(std::make_tuple(0, id, "m", std::vector<int>())); },
        [](uint32_t) { return packed(std::make_tuple(1, -1, msgpack::type::nil_t(), 1)); },
        [](uint32_t) { return std::string("\xdd\xff\xff\xff\xff", 5); },  // a 4-billion-element array
    };
    for (const auto& reply : replies) {
        raw_peer peer([&](int fd, uint32_t id) {
            rpc::test::send_bytes(fd, reply(id));
            char b;
            ::recv(fd, &b, 1, 0);  // until the client hangs up
        });
        rpc::client c("127.0.0.1", peer.l.port);
        ASSERT_TRUE(c.connect());
        c.set_timeout(2000ms);
        try {
            c.call("ping");
            FAIL() << "no error";
        } catch (const rpc::protocol_error& e) {
            EXPECT_EQ(rpc::kind_of(e), rpc::failure_kind::other);
            EXPECT_NE(std::string(e.what()).find("malformed reply"), std::string::npos) << e.what();
        }
        EXPECT_FALSE(c.is_connected());
    }
}

// An error whose text is empty (or holds empty texts) arrives as a string with no
// bytes behind it; the exception keeps its own copy all the same.
TEST(RpcClient, ErrorRepliesWithEmptyTextsAreKept)
{
    const std::vector<std::function<std::string(uint32_t)>> replies = {
        [](uint32_t id) { return packed(std::make_tuple(1, id, std::string(), msgpack::type::nil_t())); },
        [](uint32_t id) {
            return packed(std::make_tuple(1, id, std::make_tuple(std::string(), std::string("x"), std::string()),
                                          msgpack::type::nil_t()));
        },
    };
    const std::vector<std::string> texts = {"", "[\"\",\"x\",\"\"]"};
    for (size_t i = 0; i < replies.size(); ++i) {
        raw_peer peer([&](int fd, uint32_t id) { rpc::test::send_bytes(fd, replies[i](id)); });
        rpc::client c("127.0.0.1", peer.l.port);
        ASSERT_TRUE(c.connect());
        try {
            c.call("ping");
            FAIL() << "no error";
        } catch (const rpc::rpc_error& e) {
            EXPECT_EQ(rpc::object_text(e.error()), texts[i]);
            EXPECT_EQ(std::string(e.what()), "rpc error during call 'ping': " + texts[i]);
        }
    }
    msgpack::object empty;
    empty.type = msgpack::type::STR;
    empty.via.str.ptr = nullptr;
    empty.via.str.size = 0;
    rpc::rpc_error copied("m", empty);
    EXPECT_EQ(rpc::object_text(copied.error()), "");
}

TEST(RpcClient, SkipsRepliesToOtherCallsAndNotifications)
{
    raw_peer peer([](int fd, uint32_t id) {
        std::string out = packed(std::make_tuple(1, id + 100, msgpack::type::nil_t(), "stale")) +
                          packed(std::make_tuple(2, "note", std::vector<int>())) +
                          packed(std::make_tuple(1, id, msgpack::type::nil_t(), "fresh"));
        rpc::test::send_bytes(fd, out);
    });
    rpc::client c("127.0.0.1", peer.l.port);
    ASSERT_TRUE(c.connect());
    EXPECT_EQ(c.call("ping").get().as<std::string>(), "fresh");
}

TEST(RpcClient, ResultOutlivesTheClient)
{
    echo_server s;
    msgpack::object_handle result;
    {
        rpc::client c("127.0.0.1", s.srv.port());
        ASSERT_TRUE(c.connect());
        result = c.call("echo", std::string(1000, 'y'));
    }
    EXPECT_EQ(result.get().as<std::string>(), std::string(1000, 'y'));
}
