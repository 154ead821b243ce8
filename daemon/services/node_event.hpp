// The service manager's events: the kinds, the queued node_event with its shared
// payload, and the delayed entry of the postponed list. Plain values; the payload
// is shared by every copy of one event and is itself thread-safe.
#pragma once

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <variant>

namespace svc {

struct node;

inline constexpr uint32_t kind_wake = 1;              // a mode change; always at the queue's front
inline constexpr uint32_t kind_node_online = 2;
inline constexpr uint32_t kind_node_offline = 3;
inline constexpr uint32_t kind_node_stop = 4;         // node id, or 66 for the cluster
// The node's daemon instance as the leader's monitor heard it (instances.hpp).
// Below 10, like the online and offline events: an activation's start does not
// clear it, so the replay that follows "ACTIVATE" reaches the event loop.
inline constexpr uint32_t kind_node_instance = 5;
inline constexpr uint32_t kind_reclaim = 11;
inline constexpr uint32_t kind_enable_services = 12;
inline constexpr uint32_t kind_assign = 13;
inline constexpr uint32_t kind_service_pass = 14;
inline constexpr uint32_t kind_request = 15;
inline constexpr uint32_t kind_thread_exit = 16;
inline constexpr uint32_t kind_fence_retry = 17;      // fence again a node whose fencing failed
inline constexpr uint32_t kind_resweep = 18;          // sweep again a node online but left fenced

inline constexpr uint32_t node_none = 64;   // no node / this node not known yet
inline constexpr uint32_t node_self = 65;   // monitor calls: this node
inline constexpr uint32_t node_all = 66;    // every node
inline constexpr uint32_t run_node_none = 1024;
inline constexpr uint32_t max_nodes = 64;   // configured ids are below this

// Delays of the postponed list, in ticks of about one second.
inline constexpr int32_t online_delay = 2;
inline constexpr int32_t offline_delay = 8;
inline constexpr int32_t pass_rerun_delay = 10;
inline constexpr int32_t fence_retry_delay = 30;

struct node_event {
    // Tally of one broadcast event (kinds 2, 3, 4, 17, 18): every node object that takes
    // part adds to done; any of them may set failed.
    struct action_args {
        std::atomic<int> done{0};
        std::atomic<bool> failed{false};
        // Node online and resweep only: the stop of other nodes' services on the
        // returning node, done once before any node object unfences it.
        std::once_flag sweep_once;
        std::atomic<bool> sweep_ok{false};
    };
    // A management request (kind 15): the body runs on the addressed node object
    // and writes its answer into `reply`, then the promise is fulfilled. The reply
    // lives here, not with the requester: a requester that gave up (the event was
    // dropped) may be gone while a late body still writes. Read `reply` only after
    // the promise is fulfilled.
    struct req_args {
        std::function<void(node&, nlohmann::json& reply)> body;
        nlohmann::json reply;
        std::promise<void> promise;
    };
    using payload = std::variant<std::monostate, action_args, req_args>;

    std::shared_ptr<payload> args;  // may be empty
    uint32_t kind = 0;
    uint32_t node = 0;
    // Kinds 3, 11 and 17: the offline episode of the node (see episodes.hpp), stamped
    // on the offline event when the event loop hands it out and carried on to the
    // reclaim that its fencing posts. Kind 18: the return it retries the sweep of.
    uint64_t episode = 0;
    // Kind 5: the node's daemon instance.
    uint64_t instance = 0;

    action_args* tally() const { return args ? std::get_if<action_args>(args.get()) : nullptr; }
    req_args* request() const { return args ? std::get_if<req_args>(args.get()) : nullptr; }
};

// An event with the payload its kind carries: a fresh tally for kinds 2, 3 and 4,
// an empty request for 15, none otherwise.
node_event make_event(uint32_t kind, uint32_t node);

struct postponed_event {
    uint32_t kind = 0;
    uint32_t node = 0;
    int32_t countdown = 0;  // whole ticks
    uint64_t episode = 0;   // kinds 17 and 18: the episode it belongs to
};

}  // namespace svc
