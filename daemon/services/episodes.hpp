// Offline episodes of the nodes: what ties a reclaim to the absence it was meant
// for. A node's services may be released for placement elsewhere (kind 11) only
// while the node has stayed away since its offline event; once any node object
// has begun to let the node back (its online event), a reclaim still in flight
// for the earlier absence would release services that the node still holds,
// which its sweep has already passed over.
//
// Per node id: a counter and a timed mutex. The event loop, which hands out the
// events in their order, raises the counter for every online event of the node
// and stamps every offline event with the counter. A reclaim holds the mutex
// across its whole loop and runs only when the counter still equals its stamp;
// every node object that handles the node's online event passes through the
// mutex before it sweeps or unfences the node. So either the reclaim is done
// (its services released, hence swept off the returning node) before the node
// is let back, or it finds the counter raised and releases nothing.
//
// Locking: the counters are atomics; the mutex is held by a reclaim (node
// thread of the node) and taken for a moment by node objects of a returning
// node. Neither holds a service lock while waiting for it. Waits give up when
// the waiting node object's exit flag is set.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

namespace svc {

struct svc_app;
struct node;

struct node_episodes {
    static constexpr uint32_t size = 64;  // node ids below max_nodes
    std::array<std::atomic<uint64_t>, size> count{};
    // Reclaims that went ahead, raised under the mutex before they release
    // anything: a sweep that began before one must not mark the node swept.
    std::array<std::atomic<uint64_t>, size> reclaims{};
    std::array<std::timed_mutex, size> mutex;
};

// The current episode of node `n_id` (0 for ids of 64 or more).
uint64_t current_episode(svc_app& app, uint32_t n_id);

// The event loop hands out an online event of node n_id.
void begin_return(svc_app& app, uint32_t n_id);

// Node object x is about to let node n_id back: waits until no reclaim of n_id
// runs. False when x's exit flag ended the wait.
bool await_reclaim(svc_app& app, node& x, uint32_t n_id);

// Reclaims of node n_id that went ahead so far (0 for ids of 64 or more).
uint64_t reclaim_count(svc_app& app, uint32_t n_id);

// The episode lock of node n_id, taken by node object x (empty when x's exit
// flag ended the wait).
std::unique_lock<std::timed_mutex> lock_episode(svc_app& app, node& x, uint32_t n_id);

// A reclaim of node x for the episode `stamp`: the held lock when the episode is
// still current (counted in `reclaims`), else an empty one (the node came back
// since, or x is exiting).
std::unique_lock<std::timed_mutex> hold_episode(svc_app& app, node& x, uint64_t stamp);

}  // namespace svc
