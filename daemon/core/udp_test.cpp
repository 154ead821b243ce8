// UDP endpoints on loopback addresses, node k at 127.0.0.k: records cross unchanged,
// the server drops what a stranger sends (a forged sender above all) and stays up,
// stops on its flag, clients stop on STOP_THREAD.
#include "daemon/core/udp.hpp"

#include <gtest/gtest.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace raft::transport {
namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

int free_udp_port()
{
    int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
    ::close(s);
    return ntohs(sa.sin_port);
}

in_addr ipv4(const char* text)
{
    in_addr a{};
    ::inet_pton(AF_INET, text, &a);
    return a;
}

// A plain socket standing in for a peer or a stranger, sending from `source`
// (Linux answers on all of 127/8; FreeBSD's lo0 carries 127.0.0.1 alone unless
// aliases are added, so these tests need Linux or such aliases).
struct raw_socket {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    explicit raw_socket(const char* source = "127.0.0.1")  // nullptr: left unbound
    {
        if (source != nullptr)
            bind_any(source);
    }
    ~raw_socket() { ::close(fd); }

    void send(int port, const void* data, size_t len) const
    {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::sendto(fd, data, len, 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa), static_cast<ssize_t>(len));
    }
    void bind_any(const char* source)
    {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr = ipv4(source);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0) << source;
        timeval tv{0, 200000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    int port() const
    {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        return ntohs(sa.sin_port);
    }
    ssize_t recv(void* buf, size_t len) const { return ::recv(fd, buf, len, 0); }
};

// A record from peer 2 to node 1 whose body bytes are all set.
raft_msg_t peer_record(uint32_t type = APPEND_REQUEST, uint32_t from = 2, uint32_t to = 1)
{
    raft_msg_t m = make_msg(type, to, from, 42);
    std::mt19937 rng(type * 1000 + from);
    for (auto& b : m.body.raw)
        b = static_cast<uint8_t>(rng());
    return m;
}

class UdpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        previous_ = spdlog::default_logger();
        sink_ = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(1000);
        auto logger = std::make_shared<spdlog::logger>("test", sink_);
        logger->set_level(spdlog::level::debug);
        spdlog::set_default_logger(logger);
        mq_init(&rx_, "rx_queue", 1);
    }
    void TearDown() override
    {
        stop_server();
        spdlog::set_default_logger(previous_);
    }

    void start_server()
    {
        port_ = free_udp_port();
        server_ = std::make_unique<udp>("127.0.0.1", port_, "", 0, 0, &rx_);
        inbound_filter f;
        f.own_id = 1;
        f.add_peer(2, ipv4("127.0.0.2"));
        f.add_peer(3, ipv4("127.0.0.3"));
        server_->set_filter(f);
        thread_ = std::thread([this] { server_->server(); });
        wait_for_log("started");
    }
    void stop_server()
    {
        if (!thread_.joinable())
            return;
        server_->stop.store(true);
        thread_.join();
    }

    bool wait_for_log(const std::string& text, std::chrono::milliseconds limit = 3000ms)
    {
        auto deadline = clock_type::now() + limit;
        while (clock_type::now() < deadline) {
            if (count_log(text) > 0)
                return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }
    int count_log(const std::string& text)
    {
        int n = 0;
        for (const auto& line : sink_->last_formatted())
            if (line.find(text) != std::string::npos)
                ++n;
        return n;
    }
    void wait_dropped(uint64_t n)
    {
        auto deadline = clock_type::now() + 3s;
        while (server_->dropped() < n && clock_type::now() < deadline)
            std::this_thread::sleep_for(2ms);
        ASSERT_EQ(server_->dropped(), n);
    }

    std::shared_ptr<spdlog::logger> previous_;
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_;
    mq_t rx_;
    int port_ = 0;
    std::unique_ptr<udp> server_;
    std::thread thread_;
};

TEST_F(UdpTest, RecordCrossesFromClientToServerUnchanged)
{
    start_server();
    mq_t tx;
    mq_init(&tx, "tx_queue", 1);
    udp client("127.0.0.2", 0, "127.0.0.1", port_, 1, &tx);  // peer 2's own client
    std::thread ct([&] { client.client(); });
    raft_msg_t sent = peer_record();
    sent.from = 2;
    mq_push(&tx, &sent);
    raft_msg_t got;
    ASSERT_EQ(mq_pop(&rx_, &got, 3000), 0);
    EXPECT_EQ(std::memcmp(&got, &sent, sizeof got), 0);
    EXPECT_EQ(client.name(), "[clnt 127.0.0.1:" + std::to_string(port_) + "]");
    EXPECT_EQ(server_->name(), "[srv 127.0.0.1:" + std::to_string(port_) + "]");

    raft_msg_t stop = make_msg(STOP_THREAD, 0, 0, 0);
    mq_push(&tx, &stop);
    ct.join();
    EXPECT_EQ(client.passed(), 1u);
}

TEST_F(UdpTest, LongerDatagramIsCutToItsFirstRecordThenFiltered)
{
    start_server();
    raw_socket s("127.0.0.3");
    std::vector<uint8_t> big(500, 0xee);
    raft_msg_t good = peer_record(VOTE_REQUEST, 3);
    std::memcpy(big.data(), &good, MSG_SIZE);
    s.send(port_, big.data(), big.size());
    raft_msg_t got;
    ASSERT_EQ(mq_pop(&rx_, &got, 3000), 0);
    EXPECT_EQ(std::memcmp(&got, &good, sizeof got), 0);

    raft_msg_t bad = peer_record(STOP_THREAD, 3);
    std::memcpy(big.data(), &bad, MSG_SIZE);
    s.send(port_, big.data(), big.size());
    wait_dropped(1);
    EXPECT_EQ(mq_pop(&rx_, &got, 50), -1);
}

TEST_F(UdpTest, StrangersAreDroppedAndTheServerStaysUp)
{
    start_server();
    raw_socket s("127.0.0.3");
    uint64_t sent = 0;
    std::vector<uint8_t> junk(447, 0x41);
    for (size_t len : {0, 1, 100, 447}) {
        s.send(port_, junk.data(), len);
        ++sent;
    }
    for (uint32_t type : std::initializer_list<uint32_t>{0, TICK, STATE_CHANGED, NODE_STATUS, FSM_APPLY, STOP_THREAD, 129, 135, 999}) {
        raft_msg_t m = peer_record(type);
        s.send(port_, &m, sizeof m);
        ++sent;
    }
    for (uint32_t from : {0u, 1u, 4u, 64u, 67u, 0xffffffffu}) {  // unconfigured, self, special ids
        raft_msg_t m = peer_record(APPEND_RESPONSE, from);
        s.send(port_, &m, sizeof m);
        ++sent;
    }
    for (uint32_t to : {0u, 2u, 66u, 65535u}) {
        raft_msg_t m = peer_record(EXIT, 2, to);
        s.send(port_, &m, sizeof m);
        ++sent;
    }
    raft_msg_t wrong_len = peer_record(VOTE_RESPONSE);
    wrong_len.length = 447;
    s.send(port_, &wrong_len, sizeof wrong_len);
    ++sent;
    wait_dropped(sent);

    raft_msg_t got;
    EXPECT_EQ(mq_pop(&rx_, &got, 50), -1);
    for (uint32_t type : std::initializer_list<uint32_t>{STOP_NODE, STOP_CLUSTER, EXIT, PRE_VOTE_REQUEST, VOTE_REQUEST,
                                                         VOTE_RESPONSE, APPEND_REQUEST, APPEND_RESPONSE}) {
        raft_msg_t m = peer_record(type, 3);
        s.send(port_, &m, sizeof m);
        ASSERT_EQ(mq_pop(&rx_, &got, 3000), 0) << "type " << type;
        EXPECT_EQ(got.type, type);
    }
    EXPECT_EQ(server_->passed(), 8u);
    // A flood of drops writes one warning, not one per datagram.
    EXPECT_EQ(count_log("drop datagram from 127.0.0.3:"), 1);
    EXPECT_EQ(count_log("0 bytes, shorter than a record"), 1);
}

// Anyone who can reach the port can write any `from`: a higher-term append or vote
// request claiming peer 2 would depose the leader. Only peer 2's address speaks for 2.
TEST_F(UdpTest, ARecordFromAnAddressNotItsSendersIsDropped)
{
    start_server();
    uint64_t forged = 0;
    for (const char* source : {"127.0.0.4", "127.0.0.3", "127.0.0.1", "127.0.0.200"})
        for (uint32_t type : std::initializer_list<uint32_t>{APPEND_REQUEST, VOTE_REQUEST, PRE_VOTE_REQUEST, EXIT}) {
            raw_socket s(source);
            raft_msg_t m = peer_record(type, 2);
            m.term = 1000;
            s.send(port_, &m, sizeof m);
            ++forged;
        }
    wait_dropped(forged);
    raft_msg_t got;
    EXPECT_EQ(mq_pop(&rx_, &got, 50), -1);
    EXPECT_EQ(server_->passed(), 0u);
    EXPECT_EQ(count_log("drop datagram from 127.0.0.4:"), 1);
    EXPECT_EQ(count_log("sender id 2 is configured at 127.0.0.2, not at this address"), 1);

    // Peer 2's real client, bound to its configured address, is still heard; so is
    // peer 3 from its own.
    mq_t tx;
    mq_init(&tx, "tx_queue", 1);
    udp client("127.0.0.2", 0, "127.0.0.1", port_, 1, &tx);
    std::thread ct([&] { client.client(); });
    raft_msg_t real = peer_record(APPEND_REQUEST, 2);
    mq_push(&tx, &real);
    ASSERT_EQ(mq_pop(&rx_, &got, 3000), 0);
    EXPECT_EQ(std::memcmp(&got, &real, sizeof got), 0);
    raft_msg_t stop = make_msg(STOP_THREAD, 0, 0, 0);
    mq_push(&tx, &stop);
    ct.join();
    raw_socket three("127.0.0.3");
    raft_msg_t from3 = peer_record(VOTE_RESPONSE, 3);
    three.send(port_, &from3, sizeof from3);
    ASSERT_EQ(mq_pop(&rx_, &got, 3000), 0);
    EXPECT_EQ(got.from, 3u);
    EXPECT_EQ(server_->passed(), 2u);
    EXPECT_EQ(server_->dropped(), forged);
    EXPECT_EQ(mq_pop(&rx_, &got, 50), -1);
    EXPECT_EQ(ipv4_text(client.peer_address()), "127.0.0.1");
}

TEST_F(UdpTest, InterruptedReceiveIsLikeATimeOut)
{
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    struct sigaction old {};
    ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);
    start_server();
    for (int i = 0; i < 5; ++i) {
        pthread_kill(thread_.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(10ms);
    }
    raw_socket s("127.0.0.2");
    raft_msg_t m = peer_record();
    s.send(port_, &m, sizeof m);
    raft_msg_t got;
    EXPECT_EQ(mq_pop(&rx_, &got, 3000), 0);
    stop_server();
    ::sigaction(SIGUSR1, &old, nullptr);
}

TEST_F(UdpTest, IdleServerStopsSoonAfterItsFlag)
{
    start_server();
    std::this_thread::sleep_for(100ms);
    auto start = clock_type::now();
    stop_server();
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start).count();
    EXPECT_LT(took, 700);
    EXPECT_EQ(count_log("[srv 127.0.0.1:" + std::to_string(port_) + "] stopped"), 1);
}

TEST_F(UdpTest, StopThreadEndsAClientWithoutSendingAnything)
{
    raw_socket peer;
    int peer_port = peer.port();
    mq_t tx;
    mq_init(&tx, "tx_queue", 2);
    udp client("127.0.0.1", 0, "127.0.0.1", peer_port, 1, &tx);
    raft_msg_t stop = make_msg(STOP_THREAD, 0, 0, 0);
    raft_msg_t after = peer_record();
    mq_push(&tx, &stop);
    mq_push(&tx, &after);  // never reached
    std::thread ct([&] { client.client(); });
    ct.join();
    EXPECT_TRUE(client.stop.load());
    char buf[1000];
    EXPECT_LT(peer.recv(buf, sizeof buf), 0);
    EXPECT_EQ(client.passed(), 0u);
    EXPECT_EQ(count_log("[clnt 127.0.0.1:" + std::to_string(peer_port) + "] stopped"), 1);
}

TEST_F(UdpTest, FailedSendsWarnOncePerRun)
{
    mq_t tx;
    mq_init(&tx, "tx_queue", 2);
    udp client("127.0.0.1", 0, "127.0.0.1", 0, 1, &tx);  // port 0: every send fails
    std::thread ct([&] { client.client(); });
    for (int i = 0; i < 5; ++i) {
        raft_msg_t m = peer_record();
        mq_push(&tx, &m);
    }
    raft_msg_t stop = make_msg(STOP_THREAD, 0, 0, 0);
    mq_push(&tx, &stop);
    ct.join();
    EXPECT_EQ(client.passed(), 0u);
    EXPECT_EQ(count_log("can't send message type 133 to [1], sock = "), 1);
}

TEST(UdpDeath, SecondServerOnThePortEndsWithStatus1)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int port = free_udp_port();
    // The first holder allows sharing: only the server's own refusal can stop the second.
    raw_socket first(nullptr);
    int one = 1;
    ASSERT_EQ(::setsockopt(first.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one), 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(first.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    mq_t rx;
    mq_init(&rx, "rx_queue", 1);
    EXPECT_EXIT(
        {
            udp second("127.0.0.1", port, "", 0, 0, &rx);
            second.stop.store(true);  // a successful bind returns at once: status 0
            second.server();
            std::exit(0);
        },
        ::testing::ExitedWithCode(1), "can't bind");
}

TEST(UdpDeath, UnresolvablePeerEndsWithStatus1)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    mq_t tx;
    mq_init(&tx, "tx_queue", 2);
    EXPECT_EXIT(udp("127.0.0.1", 0, "", 7000, 1, &tx), ::testing::ExitedWithCode(1), "can't resolve peer addr");
}

}  // namespace
}  // namespace raft::transport
