"""An HA pair whose leading node goes down round after round (kill -9 of daemon and
Runner, the host's imports gone as in a reboot) and comes back each time: the
survivor takes over every time, and no pool is ever writable by two hosts."""
import os
import time

from ha_pair_site import HaPair, start_pair, rejoin, wait_takeover


def test_kill_whichever_node_leads_round_after_round(tmp_path):
    rounds = int(os.environ.get("KELM_HA_ROUNDS", "20"))
    c = HaPair(tmp_path)
    try:
        leader = start_pair(c)
        for n in range(rounds):
            t0 = time.monotonic()
            survivor = 3 - leader
            c.crash_node(leader)
            wait_takeover(c, survivor)
            rejoin(c, survivor, leader)
            c.assert_safe()
            print(f"round {n + 1}: node {leader} down, node {survivor} took over; {time.monotonic() - t0:.0f} s")
            leader = survivor
    finally:
        c.stop_all()
