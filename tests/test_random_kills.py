"""Services stay on exactly one node through random node kills and restarts: kill -9
of a random daemon (sometimes the leader's), the services settle on the live nodes,
the node comes back (its host rebooted when it still holds pools, its daemon alone
restarted otherwise) and serves again. After every settle the emulated double-import
counter is 0 and each record names the node that holds its service's pools.

KELM_RANDOM_KILLS sets the number of rounds (default 20), KELM_RANDOM_SEED the seed
(printed, so a failing run can be repeated)."""
import os
import random
import time

import pytest

from raft_watch import live, wait_for_leader
from service_site import ServiceCluster, kill_daemon, placement_faults, pool_world, reboot_host

NODES = (1, 2, 3)
SERVICES = [{"name": "s1", "pools": ["p1"], "pri0": 1}, {"name": "s2", "pools": ["p2"], "pri0": 2},
            {"name": "s3", "pools": ["p3", "p4"], "pri0": 3}, {"name": "s4", "pools": ["p5"]}]
SETTLE_S = 180  # a leader kill: election, the 10 s wait, 8 s offline delay, fencing, recovery, rerun; under ASan


@pytest.fixture
def site(tmp_path):
    c = ServiceCluster(tmp_path, len(NODES), SERVICES)
    yield c
    c.stop_all()


def settle(site, nodes, strict, what):
    """Waits until the placement on `nodes` is sound; fails at once on a double import."""
    deadline = time.monotonic() + SETTLE_S
    faults = ["not looked"]
    while time.monotonic() < deadline:
        faults = placement_faults(site, SERVICES, nodes, strict)
        assert not any("double imports" in f for f in faults), f"{what}: {faults}"
        if not faults:
            return
        time.sleep(0.5)
    raise AssertionError(f"{what}: not settled within {SETTLE_S} s: {faults}")


def log_marks(site):
    """{pid: length of its output} of every live daemon, to look for lines written later."""
    return {p.pid: len(p.output()) for p in live(site).values()}


def wait_logged(site, marks, text, what):
    """Waits until a live daemon logs `text` after its mark (a daemon started since: anywhere)."""
    deadline = time.monotonic() + SETTLE_S
    while not any(text in p.output()[marks.get(p.pid, 0):] for p in live(site).values()):
        assert time.monotonic() < deadline, f"{what}: no '{text}' within {SETTLE_S} s"
        time.sleep(0.5)


def test_services_stay_on_one_node_through_random_kills(site):
    rounds = int(os.environ.get("KELM_RANDOM_KILLS", "20"))
    seed = int(os.environ.get("KELM_RANDOM_SEED", str(random.randrange(1 << 30))))
    rng = random.Random(seed)
    print(f"seed {seed}, {rounds} rounds")
    for i in NODES:
        site.start_node(i)
    wait_for_leader(site, timeout=60)
    settle(site, NODES, True, "cold start")

    t_start = time.monotonic()
    leader_kills = 0
    for n in range(1, rounds + 1):
        t0 = time.monotonic()
        leader = wait_for_leader(site, timeout=60)
        victim = leader if rng.random() < 0.3 else rng.choice([i for i in NODES if i != leader])
        leader_kills += victim == leader
        marks = log_marks(site)
        kill_daemon(site, victim)
        rest = tuple(i for i in NODES if i != victim)
        wait_for_leader(site, timeout=60, exclude=(victim,))
        # The leader has taken the node for offline (not only its services moved: it may hold none).
        wait_logged(site, marks, f"svc_app: pass delayed event 3 node {victim}", f"round {n}")
        settle(site, rest, False, f"round {n}: node {victim} killed")
        t_moved = time.monotonic() - t0

        holds = [p for p, hs in pool_world(site)[0].items() if f"node{victim}" in hs]
        marks = log_marks(site)
        if holds:
            reboot_host(site, victim)  # a fenced host with suspended pools serves again only after a reboot
        else:
            site.start_node(victim)
        wait_logged(site, marks, f"svc_app: Enable run services on node {victim}", f"round {n}: node {victim} back")
        settle(site, NODES, True, f"round {n}: node {victim} back")
        print(f"round {n}: node {victim}{' (leader)' if victim == leader else ''} killed, services settled after "
              f"{t_moved:.1f} s, back {'after a reboot' if holds else 'by a daemon restart'}, "
              f"round {time.monotonic() - t0:.1f} s")
    print(f"{rounds} rounds ({leader_kills} leader kills) in {time.monotonic() - t_start:.0f} s")
    assert pool_world(site)[2] == 0
