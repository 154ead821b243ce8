"""A two-node HA pair doing its job: real daemons, Runners, poolrun and nodefence on
three shared emulated disks that carry the services' pools. Every scenario ends
with no pool ever writable by two hosts, no two nodes pre-empting each other on
the disks and one leader per term."""
import json
import time

import pytest

from ha_pair_site import (DISKS, FAILOVER_S, QUARANTINE, HaPair, LeaderOverlap, PairNets, start_pair,
                          rejoin, survivor_leads, wait_takeover)
from raft_watch import current_state
from service_site import wait_until


@pytest.fixture
def pair(tmp_path):
    made = []

    def make(nets=None):
        made.append(HaPair(tmp_path, nets))
        return made[-1]

    yield make
    for c in made:
        c.stop_all()


@pytest.fixture
def nets():
    n = PairNets()
    yield n
    n.delete()


def led(process):
    return "-> LEADER" in process.output()


# How the leader goes down: the whole node (daemon and Runner killed, the host's
# imports gone as in a reboot), or its daemon alone (host and Runner go on, the
# pools stay imported and are cut off by the reservation).

@pytest.mark.parametrize("down", ["node", "daemon"])
def test_leader_killed_then_back(pair, down):
    c = pair()
    leader = start_pair(c)
    survivor = 3 - leader
    (c.crash_node if down == "node" else c.kill_daemon)(leader)
    wait_takeover(c, survivor)
    c.assert_safe()

    if down == "daemon":
        # Its host still holds its pool, suspended since the reservation moved: its
        # Runner cannot export it, so the leader keeps it off the disks for good.
        back = c.start_node(leader)
        wait_until(lambda: f"Node {leader} keeps services of others; left fenced" in c.out(survivor), 60,
                   "the leader keeps the returning node fenced")
        time.sleep(5)
        assert not led(back) and "Obtain reservation done." not in back.output()
        assert c.reservations() == {d: survivor for d, _ in DISKS}
        c.assert_safe()
        return
    back = rejoin(c, survivor, leader)
    time.sleep(5)  # a returning node that tried to take the disks would have done it by now
    assert not led(back) and "Obtain reservation done." not in back.output()
    assert c.reservations() == {d: None for d, _ in DISKS}
    wait_until(lambda: c.services_only_on(survivor), 60, "every pool on the leader alone")
    c.assert_safe()


def test_partition_with_healthy_disks_takes_nothing_over(nets, pair):
    c = pair(nets)
    leader = start_pair(c)
    follower = 3 - leader
    before = c.daemons[follower].output()
    nets.cut(follower)
    wait_until(lambda: f"[HA reservation client] node {follower} died" in c.out(leader), 60,
               "the leader loses its peer")
    # Long enough for the cut-off follower to try the disks several times over.
    time.sleep(40)
    after = c.daemons[follower].output()[len(before):]
    assert "-> LEADER" not in after and "Obtain reservation done." not in after
    assert current_state(c.daemons[leader]) == "LEADER"
    assert c.reservations() == {d: leader for d, _ in DISKS}
    assert c.services_on(leader)
    c.assert_safe()


# Each lost path is one outage per disk, however many commands fail in it: once
# the paths are back no disk is quarantined, and the leader fences its peer
# when it dies.
@pytest.mark.parametrize("outage_ms", [1500, 30000])
def test_leader_disk_path_lost(pair, outage_ms):
    c = pair()
    leader = start_pair(c)
    follower = 3 - leader
    with LeaderOverlap(c) as overlap:
        c.disk("fault", json.dumps({"host": f"node{leader}", "action": "fail", "for_ms": outage_ms}))
        time.sleep(outage_ms / 1000 + 15)
        assert current_state(c.daemons[leader]) == "LEADER" and not led(c.daemons[follower])
        assert c.placed()
        assert "QUARANTINED" not in c.out(leader) and "quarantined" not in c.out(leader)
        c.crash_node(follower)
        wait_until(lambda: c.reservations() == {d: leader for d, _ in DISKS}, FAILOVER_S,
                   "the leader fences its dead peer on every disk")
        wait_until(lambda: c.services_on(leader), FAILOVER_S, "every service on the leader")
    assert overlap.longest <= 2, overlap.longest
    c.assert_safe()


# A leader whose disks flapped until every one was quarantined, then cut off from
# its peer, gets no append confirmed by its voter (it cannot read its disks): it
# loses its majority and steps down while the peer takes the disks and leads.
def test_leader_with_quarantined_disks_cut_off_steps_down(nets, pair):
    c = pair(nets)
    leader = start_pair(c)
    follower = 3 - leader
    with LeaderOverlap(c) as overlap:
        c.disk("fault", json.dumps({"host": f"node{leader}", "action": "fail",
                                    "flap": {"period_ms": 2000, "down_ms": 1200}}))
        wait_until(lambda: "All 3 disk(s) quarantined" in c.out(leader), 60, "every disk of the leader quarantined")
        c.disk("clear")
        nets.cut(leader)
        wait_until(lambda: survivor_leads(c, follower), FAILOVER_S, "the peer takes the disks and leads")
        wait_until(lambda: current_state(c.daemons[leader]) != "LEADER", 10, "the old leader steps down")
        time.sleep(10)
        assert current_state(c.daemons[leader]) != "LEADER"
    assert overlap.longest <= 2, overlap.longest
    c.assert_safe()


# The quarantined disk is one the leader cannot read: the two healthy ones keep it
# leading, but the dead peer's services wait, as the peer may still write there.
def test_flapping_disk_is_quarantined_and_fencing_goes_on_with_two(pair):
    c = pair()
    leader = start_pair(c)
    follower = 3 - leader
    c.disk("fault", json.dumps({"disk": "da2", "host": f"node{leader}", "action": "fail",
                                "flap": {"period_ms": 2000, "down_ms": 1200}}))
    wait_until(lambda: QUARANTINE.format("da2") in c.out(leader), 60, "the flapping disk quarantined")
    seen = len(c.disk("journal", "da2").splitlines())
    c.crash_node(follower)
    wait_until(lambda: [c.reservations()[d] for d in ("da1", "nvme0ns1")] == [leader, leader], 30,
               "the leader holds the two healthy disks")
    wait_until(lambda: f"[HA reservation client] Node {follower} not fenced off da2" in c.out(leader), 30,
               "the leader says why the peer's services wait")
    time.sleep(40)  # the fence-on wait and a fence retry
    pool, _ = pool_of(follower)
    assert f"node{leader}" not in c.holders(pool)
    assert current_state(c.daemons[leader]) == "LEADER"
    out = c.out(leader)
    assert out.count("QUARANTINED") == 1
    assert "Fencing quorum not reached" not in out and "Fencing failed" not in out
    # A quarantined disk gets no command at all from its node.
    later = [json.loads(x) for x in c.disk("journal", "da2").splitlines()[seen:]]
    assert not [j for j in later if j.get("host") == f"node{leader}"], later
    c.assert_safe()



def pool_of(node_id):
    """The pool of the service that prefers the node, and the disk it lies on."""
    return ("p1", "da1") if node_id == 1 else ("p2", "nvme0ns1")


# The disk of the dead node's pool refuses the leader's pre-emption: a quorum of
# the other disks lets the leader go on leading, but none of the dead node's
# services starts here while that node may still write its pool. Once the disk
# takes the pre-emption, the fence completes and the service moves on its own.
def test_refused_preempt_holds_the_reclaim_back_until_the_disk_takes_it(pair):
    c = pair()
    leader = start_pair(c)
    peer = 3 - leader
    pool, disk = pool_of(peer)
    take = "reserve" if disk.startswith("da") else "acquire"
    with LeaderOverlap(c) as overlap:
        for op in ("preempt", take):
            c.disk("fault", json.dumps({"disk": disk, "host": f"node{leader}", "op": op, "action": "conflict"}))
        c.kill_daemon(peer)  # its host and Runner go on, its pool stays imported
        wait_until(lambda: f"[HA reservation client] Node {peer} not fenced off {disk}" in c.out(leader), 60,
                   "the leader names the disk it could not fence")
        time.sleep(45)  # longer than the fence-on wait and one fence retry
        assert c.holders(pool) == [f"node{peer}"], c.holders(pool)
        assert c.double_imports() == 0
        assert current_state(c.daemons[leader]) == "LEADER"
        c.disk("clear")
        wait_until(lambda: c.reservations() == {d: leader for d, _ in DISKS}, 30, "the leader fences every disk")
        wait_until(lambda: f"node{leader}" in c.holders(pool), FAILOVER_S, "the dead node's service moves")
    assert overlap.longest <= 2, overlap.longest
    c.assert_safe()

