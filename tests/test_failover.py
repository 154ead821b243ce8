"""Services placed, moved and taken back by the leader: real daemons, Runners,
poolrun and nodefence on the emulated pools and fence tools."""
import signal

import pytest

from raft_watch import wait_for_leader
from service_site import ServiceCluster, assert_one_writer, fenced_hosts, placement_faults, wait_until

SERVICES = [{"name": "s1", "pools": ["p1"], "pri0": 2}, {"name": "s2", "pools": ["p2"], "pri0": 3}]


@pytest.fixture
def site(tmp_path):
    c = ServiceCluster(tmp_path, 3, SERVICES)
    yield c
    c.stop_all()


def placed(site, node_of):
    """Each service's pool imported on its node alone, and every live node's record says so."""
    for pool, node in node_of.items():
        if site.holders(pool) != [f"node{node}"]:
            return False
    return True


def test_cold_start_places_then_a_killed_node_hands_its_service_over(site):
    for i in (1, 2, 3):
        site.start_node(i)
    leader = wait_for_leader(site, timeout=30)
    wait_until(lambda: placed(site, {"p1": 2, "p2": 3}), 60, "services placed by preference")
    assert "svc_app: Entire cluster rerun!" in site.daemons[leader].output()
    # Every node holds the same records; each names the node that has the pool.
    wait_until(lambda: all(site.records(i).get("s1", {}).get("state") == 3 and
                           site.records(i).get("s2", {}).get("state") == 3 for i in (1, 2, 3)), 20, "records")
    assert site.records(1) == site.records(2) == site.records(3)
    assert site.records(1)["s1"]["run_node"] == 2 and site.records(1)["s2"]["run_node"] == 3

    # A non-leader's daemon dies; its host keeps running with the pool imported.
    victim = 3 if leader != 3 else 2
    pool = "p2" if victim == 3 else "p1"
    site.daemons[victim].proc.send_signal(signal.SIGKILL)
    site.daemons[victim].proc.wait(10)
    service = "s2" if victim == 3 else "s1"
    others = sorted({1, 2, 3} - {victim})
    # Started, not just recovered: the recovery step imports the pool and exports it
    # again, and the start follows 10 s later.
    wait_until(lambda: assert_one_writer(site) and
               any(f"svc_app: service {service} on node {o} started" in site.daemons[leader].output() and
                   f"node{o}" in site.holders(pool) for o in others), 90, "service moved")
    # Judged by the pool world: the victim cut off with its import, one writer,
    # and the records of the live nodes naming it.
    wait_until(lambda: placement_faults(site, SERVICES, others, False) == [], 30, "records of the move")
    assert f"node{victim}" in fenced_hosts(site) and f"node{victim}" in site.holders(pool)

    # The daemon comes back while its host still holds the pool, suspended: the
    # leader cannot stop it there, so the node stays fenced (no second writer).
    site.start_node(victim)
    wait_until(lambda: assert_one_writer(site) and f"svc_app: Node {victim} keeps services of others; left fenced" in
               site.daemons[leader].output(), 90, "returning node left fenced")
    assert f"node{victim}" in fenced_hosts(site) and f"node{victim}" in site.holders(pool)
    # The service goes on where it was moved, and every node's records say so.
    wait_until(lambda: placement_faults(site, SERVICES, (1, 2, 3), False) == [], 30, "records after the return")
    assert f"node{victim}" in fenced_hosts(site), site.emul("zfs", "show")
