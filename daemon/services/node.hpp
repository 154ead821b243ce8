// node: the per-node object of one activation, with its event queue and thread,
// and the bodies of the node thread and of the detached request threads.
//
// Locking: `mutex` guards queue and workers; the node thread holds it only to
// take an event, never while it handles one. state, exit, stopping and enabled
// are atomics read without a lock. `online` and `swept` are touched only by the node thread.
// Node objects hold a mutex and never move: keep them in a std::deque.
#pragma once

#include "daemon/services/node_event.hpp"
#include "daemon/services/service_rec.hpp"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace svc {

struct svc_app;

inline constexpr uint32_t ns_new = 0;
inline constexpr uint32_t ns_online = 1;
inline constexpr uint32_t ns_serving = 2;
inline constexpr uint32_t ns_offline = 3;

struct node {
    node(uint32_t id_, std::string name_, bool cfg_enabled_, service_table* services_, uint64_t term_)
        : id(id_), name(std::move(name_)), cfg_enabled(cfg_enabled_), services(services_), term(term_)
    {
    }
    node(const node&) = delete;
    node& operator=(const node&) = delete;

    std::mutex mutex;
    std::condition_variable cond;
    const uint32_t id;
    const std::string name;
    uint64_t online = 0;  // bit n: node n seen online (node thread only)
    uint64_t swept = 0;   // bit n: node n's last sweep of others' services succeeded (node thread only)
    // bit n: a fence-on of node n through this node's Runner was answered
    // "offline" (counted as done, not carried out), in node n's offline episode
    // fence_missed_episode[n] (node thread only).
    uint64_t fence_missed = 0;
    std::array<uint64_t, max_nodes> fence_missed_episode{};
    std::atomic<uint32_t> state{ns_new};
    std::atomic<bool> exit{false};
    std::atomic<bool> stopping{false};
    std::atomic<bool> enabled{true};
    const bool cfg_enabled;
    std::thread thread;
    service_table* const services;
    uint32_t workers = 0;           // under mutex
    std::deque<node_event> queue;   // under mutex
    // The leadership epoch of the activation (see service_rec::term).
    const uint64_t term;
};

// The node thread: takes events from the node's queue and handles them until an
// event leaves the exit flag set.
void node_thread(svc_app& app, node& n);
// The body of a detached request or service-pass thread: handles the event, then
// takes one off the node's workers (waking a waiter when it reaches 0).
void request_thread(svc_app& app, node& n, node_event ev);
// The handling of one event by one node object (node events and the service pass).
void process_event(svc_app& app, node& n, const node_event& ev);

}  // namespace svc
