"""An HA pair whose survivor's disks answer every command late: the survivor still
takes the disks, leads, and starts the dead node's services within a minute of the
death, with no pool ever writable by two hosts, no dueling on the disks and never
both nodes leading at once for more than 2 s."""
import json
import time

import pytest

from ha_pair_site import DISKS, HaPair, LeaderOverlap, start_pair, survivor_leads
from raft_watch import current_state
from service_site import wait_until

SERVICES_WITHIN_S = 60


@pytest.mark.parametrize("delay_ms", [300, 1000])
def test_survivor_with_slow_disks_starts_the_services_within_a_minute(tmp_path, delay_ms):
    c = HaPair(tmp_path)
    try:
        leader = start_pair(c)
        survivor = 3 - leader
        with LeaderOverlap(c) as overlap:
            c.disk("fault", json.dumps({"host": f"node{survivor}", "action": "delay", "delay_ms": delay_ms}))
            time.sleep(5)  # the survivor's voter works on slow disks before the death
            c.crash_node(leader)
            died = time.monotonic()
            wait_until(lambda: c.services_on(survivor), SERVICES_WITHIN_S,
                       f"every service on the survivor, its disks {delay_ms} ms late")
            took = time.monotonic() - died
            assert survivor_leads(c, survivor), (took, c.reservations())
            assert current_state(c.daemons[survivor]) == "LEADER"
        print(f"services on the survivor {took:.1f} s after the death ({delay_ms} ms per disk command)")
        assert overlap.longest <= 2, overlap.longest
        c.disk("clear")
        c.assert_safe()
    finally:
        c.stop_all()
