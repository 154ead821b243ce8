// service_rec: the leader's in-memory record of one configured service, and the
// service table of one activation.
//
// Locking: the record's fields change only while its `lock` is held (taken by the
// callers of the actions, through the owner locks), except the atomics. Fields
// that other threads read without the lock are atomics: run_node, enabled,
// disabled_once, stopped_on, held_by, state, retries, hold_off_until, and `stale`, which publishes
// whether session_id is "-". The session id texts are read and written only with
// the lock held; use mark_stale() and settle() so the flag follows them.
#pragma once

#include "daemon/services/node_event.hpp"
#include "daemon/services/svc_clock.hpp"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace svc {

// run_state values.
inline constexpr uint32_t rs_stopped = 1;
inline constexpr uint32_t rs_starting = 2;
inline constexpr uint32_t rs_running = 3;
inline constexpr uint32_t rs_stopping = 4;
inline constexpr uint32_t rs_unclean = 5;
inline constexpr uint32_t rs_recovering = 6;

inline constexpr int32_t failure_limit = 5;
inline constexpr auto hold_off = std::chrono::seconds(100);
inline constexpr const char* stale_session = "-";
inline constexpr const char* cluster_management = "cluster-management";

struct service_rec {
    service_rec(std::string name_, std::string session_id_, uint64_t term_)
        : name(std::move(name_)), session_id(std::move(session_id_)), term(term_)
    {
    }
    service_rec(const service_rec&) = delete;
    service_rec& operator=(const service_rec&) = delete;

    const std::string name;
    std::string session_id;          // "-" while stale; under lock
    std::string stashed_session_id;  // the session id while stale; under lock
    std::timed_mutex lock;
    std::atomic<uint32_t> state{rs_stopped};
    std::atomic<int32_t> retries{0};
    std::string last_error;  // under lock
    std::atomic<svc_clock::time_point> hold_off_until{svc_clock::time_point{}};
    bool base_disabled = false;
    std::atomic<bool> enabled{true};
    std::atomic<bool> disabled_once{false};
    uint32_t pri0 = node_none;
    uint32_t pri1 = node_none;
    std::atomic<uint32_t> run_node{run_node_none};
    // The node an operator's stop last took the service off (run_node_none: none
    // known). A start that is refused because its node cannot run services puts
    // the service back there, so a move to such a node does not take it down.
    std::atomic<uint32_t> stopped_on{run_node_none};
    // The node that may still hold the service's pools without being fenced
    // (run_node_none: none); the service starts nowhere else (holds.hpp).
    std::atomic<uint32_t> held_by{run_node_none};
    std::atomic<bool> stale{false};  // session_id is "-"
    // The leadership epoch (Raft term) of the activation that made this record:
    // every save of it carries this term, so a save that outlives the activation
    // is refused by the monitor.
    const uint64_t term;

    bool is_stale() const { return stale.load(); }
    // Lock held: session_id moves to stashed_session_id, session_id becomes "-".
    void mark_stale()
    {
        stashed_session_id = session_id;
        // Move-assigned: GCC 12 warns falsely (-Wrestrict) on assigning the literal.
        session_id = std::string(stale_session);
        stale.store(true);
    }
    // Lock held: the stashed session id comes back.
    void settle()
    {
        session_id = stashed_session_id;
        stashed_session_id.clear();
        stale.store(false);
    }
};

// One activation's services by name; records never move once inserted.
using service_table = std::unordered_map<std::string, service_rec>;

}  // namespace svc
