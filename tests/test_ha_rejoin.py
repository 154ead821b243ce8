"""An HA pair whose leader committed alone (its peer down) and then died: the peer
comes back first and takes over without those entries; the old leader, back later,
drops them and follows the new leader, whose records both nodes then hold."""
from ha_pair_site import DISKS, HaPair, rejoin, wait_takeover, start_pair
from raft_watch import cmdlog
from service_site import wait_until


def test_old_leader_drops_what_it_committed_alone_and_follows(tmp_path):
    c = HaPair(tmp_path)
    try:
        leader = start_pair(c)
        follower = 3 - leader
        c.crash_node(follower)
        # Alone, the leader fences its peer on the disks and takes its service over:
        # the records of that move are committed on its own disk only.
        wait_until(lambda: c.reservations() == {d: leader for d, _ in DISKS} and c.services_on(leader), 120,
                   "the leader fenced its peer and runs every service")
        assert len(cmdlog(c.db_path(leader))) > len(cmdlog(c.db_path(follower)))
        c.crash_node(leader)
        c.start_node(follower)
        wait_takeover(c, follower)
        c.assert_safe()

        back = rejoin(c, follower, leader)
        wait_until(lambda: "committed on this node's disk only" in back.output(), 60,
                   "the old leader drops what it committed alone")
        assert "were withdrawn: state rebuilt from entries" in back.output()
        wait_until(lambda: cmdlog(c.db_path(leader)) == cmdlog(c.db_path(follower)), 60,
                   "both nodes hold the new leader's log")
        assert c.records(leader) == c.records(follower)
        wait_until(lambda: c.services_only_on(follower), 60, "every pool on the new leader alone")
        c.assert_safe()
    finally:
        c.stop_all()
