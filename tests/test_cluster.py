"""A living cluster on loopback: real daemons elect one leader per term, replicate
the session id, fail over after kill -9, take a restarted node back, and a leader
cut off from its followers steps down."""
import os
import signal
import time

import pytest

from udp_relay import Relay

from raft_watch import (assert_one_leader_per_term, cmdlog, current_state, kill9, live, same_prefix, session_ids,
                        wait_for_leader, wait_until)


def start_all(cluster, n):
    for i in range(1, n + 1):
        cluster.start(i, log_level="trace")


def logs_agree(cluster, ids):
    """The applied prefix: every node's log must be a prefix of the longest."""
    logs = [cmdlog(cluster.db_path(i)) for i in ids]
    return same_prefix(logs) and logs


def test_three_nodes_elect_fail_over_and_take_the_old_leader_back(cluster_factory):
    c = cluster_factory(3)
    start_all(c, 3)
    first = wait_for_leader(c, timeout=20)
    # One session, created by the first leader, on every node.
    sessions = wait_until(lambda: all(len(session_ids(c.db_path(i))) == 1 for i in (1, 2, 3))
                          and {session_ids(c.db_path(i))[0] for i in (1, 2, 3)}, 10, "session id everywhere")
    assert len(sessions) == 1
    session = sessions.pop()
    assert len(session) == 36

    kill9(c.daemons[first])
    second = wait_for_leader(c, timeout=20, exclude=(first,))
    assert second != first
    led = assert_one_leader_per_term(c)
    new_term = max(led)
    # The new leader continues the session and commits its own marker first.
    wait_until(lambda: any(r[2] == "kelm-leadership" and r[3] == f"{second}:{new_term}"
                           for r in cmdlog(c.db_path(second))), 10, "leadership marker")
    assert session_ids(c.db_path(second)) == [session]

    back = c.start(first, log_level="trace")
    assert back.wait_for("[monitor] raft thread started", 10)
    wait_until(lambda: len(cmdlog(c.db_path(first))) == len(cmdlog(c.db_path(second))), 15, "old leader caught up")
    assert logs_agree(c, (1, 2, 3))
    time.sleep(1.0)
    assert current_state(back) == "FOLLOWER"
    assert wait_for_leader(c, timeout=1) == second
    assert_one_leader_per_term(c)
    for p in live(c).values():
        assert "RAFT FSM error" not in p.output()
        kill9(p)


@pytest.mark.parametrize("self_fencing", [False, True])
def test_partition_the_minority_leader_steps_down_and_the_majority_elects(cluster_factory, self_fencing):
    c = cluster_factory(3)
    c.doc["cluster"]["self_fencing"] = self_fencing
    relay = Relay(c.doc).start()
    try:
        configs = relay.write_configs(c.workdir)
        for i in (1, 2, 3):
            c.config_path = configs[i]
            c.start(i, log_level="trace")
        old = wait_for_leader(c, timeout=20)
        seen = len(c.daemons[old].output())
        relay.cut = frozenset({old})
        t0 = time.monotonic()
        assert c.daemons[old].wait_for("[raft] leader lost majority, go to follower state", 10)
        took = time.monotonic() - t0
        assert 3.0 < took < 7.0, took
        assert "state changed LEADER -> FOLLOWER" in c.daemons[old].output()[seen:]
        # The majority's first trial may be refused (the leader was alive a moment
        # ago): a refused node is not isolated and must not fence itself.
        new = wait_for_leader(c, timeout=20, exclude=(old,))
        assert new != old
        panic = os.path.join(c.emul_root, "sysctl", "debug.kdb.panic")
        if self_fencing:
            assert c.daemons[old].wait(10) == 0
            assert "[monitor] SELF-FENCING: LEADER -> FOLLOWER reason: 4" in c.daemons[old].output()
            with open(panic) as f:
                assert f.read().strip() == "1"
            for i, p in live(c).items():
                assert "SELF-FENCING" not in p.output(), i
            relay.cut = frozenset()
            c.config_path = configs[old]
            c.start(old, log_level="trace")
        else:
            assert not os.path.exists(panic)
            relay.cut = frozenset()
        # Healed: the old leader follows the new term's leader; one leader per term.
        # Equal lengths alone can be a moment in which the old leader still holds an
        # entry of its own term that the new leader's next append replaces.
        wait_until(lambda: len(cmdlog(c.db_path(old))) == len(cmdlog(c.db_path(new))) and logs_agree(c, (1, 2, 3)),
                   20, "old leader caught up")
        assert current_state(c.daemons[old]) != "LEADER"
        assert_one_leader_per_term(c)
    finally:
        relay.stop()
        for p in live(c).values():
            kill9(p)


def test_follower_sigterm_asks_the_leader_and_leaderless_sigterm_exits_0(cluster_factory):
    c = cluster_factory(3)
    start_all(c, 3)
    leader = wait_for_leader(c, timeout=20)
    follower = next(i for i in (1, 2, 3) if i != leader)
    wait_until(lambda: "[monitor] node" in c.daemons[leader].output(), 5, "leader sees nodes")
    c.daemons[follower].signal(signal.SIGTERM)
    assert c.daemons[follower].wait_for(f"[monitor] Send stop to {leader}", 5)
    # No application runs yet to act on the stop: the follower stays.
    assert c.daemons[follower].proc.poll() is None
    for p in live(c).values():
        kill9(p)
    lone = c.start(1, log_level="trace")
    assert lone.wait_for("[monitor] raft thread started", 10)
    lone.signal(signal.SIGTERM)
    assert lone.wait(10) == 0
    assert "[monitor] Leader not found, exit immediately" in lone.output()
    assert "[monitor] stopped" in lone.output()


@pytest.mark.parametrize("n", [5])
def test_five_nodes_elect_and_fail_over(cluster_factory, n):
    c = cluster_factory(n)
    start_all(c, n)
    first = wait_for_leader(c, timeout=20)
    ids = range(1, n + 1)
    wait_until(lambda: len({tuple(session_ids(c.db_path(i))) for i in ids}) == 1
               and len(session_ids(c.db_path(1))) == 1, 10, "session id everywhere")
    kill9(c.daemons[first])
    wait_for_leader(c, timeout=20, exclude=(first,))
    assert_one_leader_per_term(c)
    assert logs_agree(c, [i for i in ids if i != first])
    for p in live(c).values():
        kill9(p)
