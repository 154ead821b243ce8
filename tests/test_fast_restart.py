"""Daemons that come back before the leader could tell they were gone: real daemons,
Runners and poolrun on the emulated pools. A host that reboots (its pools dropped)
or a daemon restarted alone (its pools kept) is back within about a second, far
inside the liveness time-out and the offline delay; every service it held must run
on it again, with nothing fenced and nothing moved."""
import pytest

from raft_watch import wait_for_leader
from service_site import (ServiceCluster, assert_one_writer, fenced_hosts, kill_daemon, placement_faults,
                          reboot_host, wait_until)

SERVICES = [{"name": f"s{i}", "pools": [f"p{i}"], "pri0": i} for i in (1, 2, 3)]
HOME = {"p1": ["node1"], "p2": ["node2"], "p3": ["node3"]}


@pytest.fixture
def site(tmp_path):
    c = ServiceCluster(tmp_path, 3, SERVICES)
    yield c
    c.stop_all()


def at_home(site):
    """Every service runs on its own node alone, as every live node's record says,
    and no host is fenced."""
    return (assert_one_writer(site) and {p: site.holders(p) for p in HOME} == HOME and
            placement_faults(site, SERVICES, (1, 2, 3), True) == [] and fenced_hosts(site) == [])


def test_a_node_back_before_detection_runs_its_services_again_where_they_were(site):
    for i in (1, 2, 3):
        site.start_node(i)
    leader = wait_for_leader(site, timeout=30)
    wait_until(lambda: at_home(site), 90, "services placed by preference")
    follower = 3 if leader != 3 else 2

    # A follower's host reboots: its pool is gone, the records still say running.
    reboot_host(site, follower)
    wait_until(lambda: at_home(site), 90, f"s{follower} started again on node {follower} after its host rebooted")

    # The same follower's daemon alone restarts: the pool stays, nothing moves.
    kill_daemon(site, follower)
    site.start_node(follower)
    wait_until(lambda: f"svc_app: service s{follower} on node {follower}: the node's daemon restarted" in
               site.daemons[leader].output(), 60, "the restart seen by the leader")
    wait_until(lambda: at_home(site), 60, "nothing moved after a daemon restart")

    # The leader's host reboots; whichever node leads next finds the old leader's
    # service running nowhere and starts it on its node again.
    reboot_host(site, leader)
    wait_for_leader(site, timeout=60)
    wait_until(lambda: at_home(site), 150, f"s{leader} started again on node {leader} after its host rebooted")
