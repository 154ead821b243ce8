// mq_t: cost of one post and one receive, and how fast a sleeping consumer wakes.
#include "daemon/core/mq.hpp"

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

namespace {

// One post followed by one receive on the same thread: copy in, copy out, no wait.
void BM_MqPushPop(benchmark::State& state)
{
    raft::mq_t q;
    raft::mq_init(&q, "rx_queue", 1);
    raft::raft_msg_t in = raft::make_msg(raft::APPEND_REQUEST, 1, 2, 3), out;
    for (auto _ : state) {
        raft::mq_push(&q, &in);
        raft::mq_pop(&q, &out, 0);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MqPushPop);

// A backlog of N records posted, then drained: the queue as a growing buffer.
void BM_MqBacklog(benchmark::State& state)
{
    raft::mq_t q;
    raft::mq_init(&q, "tx_queue", 2);
    raft::raft_msg_t in = raft::make_msg(raft::APPEND_REQUEST, 1, 2, 3), out;
    const auto n = state.range(0);
    for (auto _ : state) {
        for (int64_t i = 0; i < n; ++i)
            raft::mq_push(&q, &in);
        for (int64_t i = 0; i < n; ++i)
            raft::mq_pop(&q, &out, 0);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_MqBacklog)->Arg(1000)->Arg(100000);

// Ping-pong between two threads through two queues: every iteration is two
// wake-ups of a consumer asleep in mq_pop (time-out 0, or 50 ms as "mon-raft" waits).
void BM_MqWakeUpRoundTrip(benchmark::State& state)
{
    const auto timeout = static_cast<uint32_t>(state.range(0));
    raft::mq_t ping, pong;
    raft::mq_init(&ping, "rx_queue", 1);
    raft::mq_init(&pong, "tx_queue", 2);
    std::thread echo([&] {
        raft::raft_msg_t m;
        for (;;) {
            if (raft::mq_pop(&ping, &m, timeout) != 0)
                continue;
            raft::mq_push(&pong, &m);
            if (m.type == raft::STOP_THREAD)
                return;
        }
    });
    raft::raft_msg_t in = raft::make_msg(raft::VOTE_REQUEST, 1, 2, 3), out;
    for (auto _ : state) {
        raft::mq_push(&ping, &in);
        while (raft::mq_pop(&pong, &out, timeout) != 0) {
        }
    }
    raft::raft_msg_t stop = raft::make_msg(raft::STOP_THREAD, 0, 0, 0);
    raft::mq_push(&ping, &stop);
    raft::mq_pop(&pong, &out, 0);
    echo.join();
}
BENCHMARK(BM_MqWakeUpRoundTrip)->Arg(0)->Arg(50)->UseRealTime();

}  // namespace
