// "Left fenced": a node that is online again but that the leader keeps fenced,
// because it may still hold pools of services that were placed elsewhere (its
// sweep of the others' services failed). One cluster-wide state, kept in the
// replicated store so that a new leader sees it:
//
//   key   "node-left-fenced-<id>"     value {"left_fenced":true} or {"left_fenced":false}
//
// A missing record means not left fenced; a record that cannot be parsed counts
// as left fenced (when in doubt a node stays fenced). The service manager keeps
// a mirror per node id in svc_app::left_fenced, loaded by every activation before
// its node threads start and changed only through set_left_fenced.
//
// Who uses it: every unfencing path (a returning node's own fence-off of the
// others, the fence-off of a returning node, a new leader's activation) leaves a
// left-fenced node fenced; the assignment pass places nothing on it; a start on
// it is refused. The state is cleared only by a sweep of the node that succeeds,
// and only once that is saved; then the node is unfenced.
//
// Thread-safety: the mirror is an array of atomics; is_left_fenced may be called
// from any thread without a lock.
#pragma once

#include <cstdint>
#include <string>

namespace svc {

struct svc_app;

std::string left_fenced_key(uint32_t node_id);

// Whether node `node_id` is left fenced (the mirror of the replicated record).
// False for ids of 64 or more.
bool is_left_fenced(svc_app& app, uint32_t node_id);

// Reads the node's record into the mirror (activation pass). No record: false.
void load_left_fenced(svc_app& app, uint32_t node_id);

// Records the state under `term`. Setting: the mirror is set first and stays set
// whatever the save does. Clearing: the mirror is cleared only once the save
// succeeded. Returns whether the record now says `on`; a failed save is logged.
bool set_left_fenced(svc_app& app, uint32_t node_id, bool on, uint64_t term);

// The sweep mark of a node, beside it in the replicated store:
//
//   key   "node-swept-<id>"           value {"session":"<cluster session id>","swept":true|false}
//
// true: the node's last return was swept successfully in that cluster session,
// and the node has not been declared offline since. Cleared ("must be swept")
// when the node is declared offline and, committed first, before a reclaim of
// it releases any service for placement elsewhere. A leader skips the sweep of a
// returning node only when the mark says true for its own session; no mark, an
// unreadable one, another session or a left-fenced node: it sweeps.
std::string sweep_mark_key(uint32_t node_id);
bool swept_in_session(svc_app& app, uint32_t node_id, const std::string& session_id);
// Returns whether the mark was saved; a failed save is logged.
bool set_sweep_mark(svc_app& app, uint32_t node_id, bool swept, const std::string& session_id, uint64_t term);

}  // namespace svc
