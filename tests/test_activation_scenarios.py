"""The leader keeping every service on exactly one node while nodes hang, die,
restart and stop: real daemons, Runners, poolrun and nodefence on the emulated
pools and fence tools. Each scenario ends with the double-import counter at 0 and
every record naming the one unfenced host that holds the service's pool, and fails
at the first poll of its waits that finds a pool with two writers."""
import json
import re
import signal
import time

import pytest

from raft_watch import cmdlog, kill9, live, session_ids, wait_for_leader
from service_site import (ServiceCluster, assert_one_writer, fenced_hosts, mirror_on_every_node, placement_faults,
                          runner_runs, settled, wait_until, writers)

# One service preferring each node, so every node holds one.
SERVICES = [{"name": f"s{i}", "pools": [f"p{i}"], "pri0": i} for i in (1, 2, 3)]
NODES = (1, 2, 3)
# Generous: up to ~25 scenarios share 8 cores.
PLACED = 120
MOVED = 150


def start_cluster(tmp_path, sites, services=SERVICES, mirrored=False):
    site = ServiceCluster(tmp_path, 3, services)
    sites.append(site)  # stopped by the fixture whatever happens next
    if mirrored:
        for s in services:
            for pool in s["pools"]:
                site.emul("zfs", "update", pool, json.dumps({"vdevs": mirror_on_every_node(pool, 3)["vdevs"]}))
    for i in NODES:
        site.start_node(i)
    leader = wait_for_leader(site, timeout=60)
    wait_until(lambda: settled(site, services, NODES), PLACED, "services placed by preference")
    for s in services:
        assert site.records(leader)[s["name"]]["run_node"] == s["pri0"]
    return site, leader


@pytest.fixture
def sites():
    made = []
    yield made
    for s in made:
        s.stop_all()


def lines_after(process, mark):
    return process.output()[mark:]


def test_hung_node_is_fenced_its_services_move_and_it_comes_back_clean(tmp_path, sites):
    # Pools mirrored over every node's own disk: fenced, the hung node still reaches
    # its own leaf, so its stale import can be exported when it wakes up.
    site, leader = start_cluster(tmp_path, sites, mirrored=True)
    victim = next(i for i in NODES if i != leader)
    others = [i for i in NODES if i != victim]
    moved, pool = f"s{victim}", f"p{victim}"
    runs_before = {i: len(runner_runs(site, i, "nodefence")) for i in NODES}

    site.daemons[victim].signal(signal.SIGSTOP)  # the daemon hangs; its host and Runner go on
    wait_until(lambda: assert_one_writer(site) and writers(site, pool) and writers(site, pool) != [f"node{victim}"] and
               settled(site, SERVICES, others), MOVED, "hung node's service running elsewhere")
    for o in others:  # fenced through each other node's own Runner
        assert f"fence-on {victim}" in runner_runs(site, o, "nodefence")[runs_before[o]:]
    assert f"node{victim}" in fenced_hosts(site)
    assert f"node{victim}" in site.holders(pool)  # still imported there, cut off
    assert site.double_imports() == 0

    mark = len(site.daemons[leader].output())
    stops_before = len(runner_runs(site, victim))
    site.daemons[victim].signal(signal.SIGCONT)
    wait_until(lambda: assert_one_writer(site) and
               f"Enable run services on node {victim}" in lines_after(site.daemons[leader], mark),
               MOVED, "woken node serving again")
    after = lines_after(site.daemons[leader], mark)
    assert "keeps services of others" not in after and "Failed unfencing" not in after
    # Its stale import was dropped before it got its disks back.
    assert f"stop {moved}" in runner_runs(site, victim)[stops_before:]
    assert f"node{victim}" not in site.holders(pool)
    assert fenced_hosts(site) == []
    wait_until(lambda: settled(site, SERVICES, NODES), PLACED, "records agree on every node")
    assert site.double_imports() == 0


def test_stalled_node_without_a_mirror_stays_fenced_while_it_holds_its_pool(tmp_path, sites):
    # The pool lies on one disk only: fenced, the stalled node loses it and its stale
    # import is suspended, so when it wakes up its Runner cannot export it. Letting
    # the node back would give the pool a second writer: it must stay fenced.
    site, leader = start_cluster(tmp_path, sites)
    victim = next(i for i in NODES if i != leader)
    others = [i for i in NODES if i != victim]
    pool = f"p{victim}"

    site.daemons[victim].signal(signal.SIGSTOP)
    wait_until(lambda: assert_one_writer(site) and writers(site, pool) not in ([], [f"node{victim}"]) and
               settled(site, SERVICES, others), MOVED, "stalled node's service running elsewhere")
    assert f"node{victim}" in fenced_hosts(site) and f"node{victim}" in site.holders(pool)

    sweeps_before = len(runner_runs(site, victim))
    site.daemons[victim].signal(signal.SIGCONT)
    wait_until(lambda: assert_one_writer(site) and f"stop s{victim}" in runner_runs(site, victim)[sweeps_before:],
               MOVED, "woken node asked to drop its stale import")
    deadline = time.monotonic() + 20  # an unfence would follow the sweep within seconds
    while time.monotonic() < deadline:
        assert_one_writer(site)
        time.sleep(0.5)
    if f"node{victim}" in site.holders(pool):
        assert f"node{victim}" in fenced_hosts(site), site.emul("zfs", "show")
    assert placement_faults(site, SERVICES, others, False) == []


def test_crashed_host_comes_back_unfenced_and_serving(tmp_path, sites):
    # The whole host went down and rebooted: its imports are gone, so the sweep
    # before the unfence finds nothing to drop and the node serves again.
    site, leader = start_cluster(tmp_path, sites)
    victim = next(i for i in NODES if i != leader)
    pool = f"p{victim}"
    kill9(site.daemons[victim])
    site.runners[victim].stop()
    wait_until(lambda: assert_one_writer(site) and writers(site, pool) not in ([], [f"node{victim}"]) and
               settled(site, SERVICES, [i for i in NODES if i != victim]), MOVED, "crashed node's service elsewhere")
    assert f"node{victim}" in fenced_hosts(site)
    assert site.emul("zfs", "host-crash", f"node{victim}").split() == [pool]
    mark = len(site.daemons[leader].output())
    site.start_node(victim)
    wait_until(lambda: assert_one_writer(site) and
               f"Enable run services on node {victim}" in lines_after(site.daemons[leader], mark),
               MOVED, "rebooted node serving again")
    assert "keeps services of others" not in lines_after(site.daemons[leader], mark)
    assert fenced_hosts(site) == []
    wait_until(lambda: settled(site, SERVICES, NODES), PLACED, "records agree on every node")
    assert site.double_imports() == 0


def test_leader_failure_leaves_the_healthy_nodes_services_alone(tmp_path, sites):
    site, old = start_cluster(tmp_path, sites)
    healthy = [i for i in NODES if i != old]
    last_idx = int(cmdlog(site.db_path(healthy[0]))[-1][0])
    runs_before = {i: len(runner_runs(site, i)) for i in healthy}

    kill9(site.daemons[old])  # its host keeps the pool, imported
    new = wait_for_leader(site, timeout=60, exclude=(old,))
    assert site.daemons[new].wait_for("svc_app: Subsequent run", 60), site.daemons[new].output()[-3000:]
    wait_until(lambda: assert_one_writer(site) and writers(site, f"p{old}") not in ([], [f"node{old}"]) and
               settled(site, SERVICES, healthy), MOVED, "old leader's service running elsewhere")
    out = site.daemons[new].output()
    assert "prepare stale service state" not in out and "Entire cluster rerun" not in out
    assert site.double_imports() == 0
    for h in healthy:
        name = f"s{h}"
        # Neither started, stopped nor recovered where it runs; other nodes were
        # only asked to drop any import of it before being unfenced (a no-op there).
        assert [r for r in runner_runs(site, h)[runs_before[h]:] if r.endswith(" " + name)] == []
        for o in healthy:
            if o != h:
                assert all(r == f"stop {name}" for r in runner_runs(site, o)[runs_before[o]:] if r.endswith(" " + name))
        assert site.holders(f"p{h}") == [f"node{h}"]
        # Every record written since the kill (the new leader's takeover writes one)
        # says it runs on its node, in this session.
        since = [v for i, _, k, v in cmdlog(site.db_path(new)) if int(i) > last_idx and k == f"svc-{name}-runstate"]
        assert since and all(f'"run_node":{h},' in v and '"state":3' in v and '"-"' not in v for v in since), since


def test_full_restart_stops_recovers_and_starts_every_stale_service(tmp_path, sites):
    site, _ = start_cluster(tmp_path, sites)
    old_session = session_ids(site.db_path(1))[-1]
    runs_before = {i: len(runner_runs(site, i)) for i in NODES}
    for i in NODES:  # every daemon dies; the Runners and the imports stay
        kill9(site.daemons[i])
    for i in NODES:
        site.start_node(i)
    leader = wait_for_leader(site, timeout=60)
    out = site.daemons[leader]
    assert out.wait_for("svc_app: Entire cluster rerun!", 60), out.output()[-3000:]
    wait_until(lambda: assert_one_writer(site) and settled(site, SERVICES, NODES) and
               all(r["session_id"] != old_session for r in site.records(leader).values()),
               MOVED, "services running again in the new session")
    for i in NODES:
        name = f"s{i}"
        assert f"prepare stale service state: name {name} state 3 id {i}" in out.output()
        own = [r for r in runner_runs(site, i)[runs_before[i]:] if r.endswith(" " + name)]
        # The stale record is settled by a stop, the unclean service recovered, then started.
        assert own[-3:] == [f"stop {name}", f"recovery {name}", f"start {name}"], own
    assert session_ids(site.db_path(leader))[-1] != old_session
    assert site.double_imports() == 0


def test_failed_fencing_reclaims_nothing(tmp_path, sites):
    site, leader = start_cluster(tmp_path, sites)
    victim = next(i for i in NODES if i != leader)
    fencer = next(i for i in NODES if i not in (leader, victim))
    name, pool = f"s{victim}", f"p{victim}"
    # The fencer's target port cannot be switched off: its fence-on fails, while its
    # Runner goes on serving, so a failure counted as done would start the service
    # there beside the victim, which still reaches its pool through that port.
    site.emul("fence", "fault", json.dumps({"tool": "ctladm", "op": "port", "host": f"node{fencer}", "times": -1,
                                            "stdout": "port busy\n", "exit": 1}))
    runs_before = {i: len(runner_runs(site, i)) for i in NODES}
    mark = len(site.daemons[leader].output())

    kill9(site.daemons[victim])
    assert site.daemons[leader].wait_for(f"svc_app: Failed fencing node {victim}. Skip reclamation.", MOVED), \
        lines_after(site.daemons[leader], mark)
    deadline = time.monotonic() + 15  # a reclaim, assignment and start would be well under way by now
    while time.monotonic() < deadline:
        assert_one_writer(site)
        time.sleep(0.5)
    assert f"node {fencer}: cannot fence-on node {victim}" in lines_after(site.daemons[leader], mark)
    rec = site.records(leader)[name]
    assert rec["run_node"] == victim and rec["state"] == 3, rec
    assert site.holders(pool) == [f"node{victim}"] and fenced_hosts(site) == []
    for i in NODES:
        assert [r for r in runner_runs(site, i)[runs_before[i]:] if r.endswith(" " + name)] == []
    rest = [s for s in SERVICES if s["name"] != name]
    assert placement_faults(site, rest, [leader, fencer], False) == []


@pytest.mark.parametrize("the_leader", [False, True], ids=["follower", "leader"])
def test_sigterm_on_a_member_moves_its_services_then_it_exits(tmp_path, sites, the_leader):
    site, leader = start_cluster(tmp_path, sites)
    member = leader if the_leader else next(i for i in NODES if i != leader)
    rest = [i for i in NODES if i != member]
    name, pool = f"s{member}", f"p{member}"

    site.daemons[member].signal(signal.SIGTERM)
    assert site.daemons[member].wait(MOVED) == 0
    # Stopped and exported before its daemon went.
    assert f"node{member}" not in site.holders(pool)
    out = site.daemons[leader].output()
    stopped = re.search(f"service '{name}' on node \\d+ state 1 ", out)
    assert stopped and stopped.start() < out.index(f"successfully sent 'exit' to {member} node"), out[-3000:]
    # A leader that stops itself may go before placing it: the next leader does.
    wait_until(lambda: assert_one_writer(site) and writers(site, pool) and settled(site, SERVICES, rest), MOVED,
               "its service running elsewhere")
    assert site.double_imports() == 0


def test_sigterm_on_every_member_stops_the_cluster(tmp_path, sites):
    site, leader = start_cluster(tmp_path, sites)
    for i in NODES:
        site.daemons[i].signal(signal.SIGTERM)
    statuses = {i: site.daemons[i].wait(MOVED) for i in NODES}
    assert statuses == {1: 0, 2: 0, 3: 0}, {i: site.daemons[i].output()[-2000:] for i in NODES}
    assert live(site) == {}
    # Each service is stopped, or (placed on a node before that node's own stop
    # came) runs on the one node its record names.
    recs = site.records(leader)  # a node that exited early may lack the last records
    for s in SERVICES:
        rec = recs[s["name"]]
        want = [f"node{rec['run_node']}"] if rec["state"] == 3 else []
        assert rec["state"] in (1, 3) and site.holders(s["pools"][0]) == want, (rec, site.holders(s["pools"][0]))
    assert site.double_imports() == 0
