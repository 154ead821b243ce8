// UDP transport: one record's round trip on loopback through the whole path,
// tx_queue -> client -> datagram -> server -> rx_queue, and back the same way.
#include "daemon/core/udp.hpp"

#include "platform/process.hpp"

#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using raft::transport::udp;

int free_port()
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

// Node 1 and node 2 on 127.0.0.1, each with its server and its client to the other;
// node 2 echoes every record back. Built once and left running until the process ends.
struct pair_of_nodes {
    raft::mq_t rx1, rx2, tx12, tx21;
    udp* endpoints[4];

    pair_of_nodes()
    {
        spdlog::set_level(spdlog::level::warn);
        int p1 = free_port(), p2 = free_port();
        raft::mq_init(&rx1, "rx_queue", 1);
        raft::mq_init(&rx2, "rx_queue", 2);
        raft::mq_init(&tx12, "tx_queue", 2);
        raft::mq_init(&tx21, "tx_queue", 1);
        endpoints[0] = new udp("127.0.0.1", p1, "", 0, 0, &rx1);
        endpoints[1] = new udp("127.0.0.1", 0, "127.0.0.1", p2, 1, &tx12);
        endpoints[2] = new udp("127.0.0.1", p2, "", 0, 0, &rx2);
        endpoints[3] = new udp("127.0.0.1", 0, "127.0.0.1", p1, 1, &tx21);
        raft::transport::inbound_filter f1, f2;
        f1.own_id = 1;
        f1.add_peer(2, endpoints[1]->peer_address());
        f2.own_id = 2;
        f2.add_peer(1, endpoints[3]->peer_address());
        endpoints[0]->set_filter(f1);
        endpoints[2]->set_filter(f2);
        for (udp* ep : endpoints)
            platform::thread_start(raft::transport::transport_thread_main, ep, ep->mode == 0 ? "rpc-server" : "rpc-client");
        platform::thread_start(&echo, this, "echo");
    }

    static void* echo(void* arg)
    {
        auto* self = static_cast<pair_of_nodes*>(arg);
        raft::raft_msg_t m;
        for (;;) {
            raft::mq_pop(&self->rx2, &m, 0);
            std::swap(m.to, m.from);
            raft::mq_push(&self->tx21, &m);
        }
    }
};

void BM_UdpRoundTrip(benchmark::State& state)
{
    static auto* nodes = new pair_of_nodes;
    raft::raft_msg_t out = raft::make_msg(raft::APPEND_REQUEST, 2, 1, 7), back;
    for (auto _ : state) {
        raft::mq_push(&nodes->tx12, &out);
        if (raft::mq_pop(&nodes->rx1, &back, 1000) != 0) {
            state.SkipWithError("record lost");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UdpRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
