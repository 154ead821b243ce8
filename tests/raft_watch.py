"""Reading a running cluster from the outside: who leads in which term (from the
daemons' trace output), and each node's command log (with sqlite3)."""
import os
import re
import signal
import subprocess
import time

ELECTION = re.compile(r"\[raft\] start new election for \[(\d+)\] t: (\d+)")
STATE = re.compile(r"\[monitor\] state changed (\w+) -> (\w+)")


def leaderships(process):
    """[(term, line number)] for every time this daemon became leader."""
    out = []
    term = None
    for n, line in enumerate(process.output().splitlines()):
        m = ELECTION.search(line)
        if m:
            term = int(m.group(2))
            continue
        m = STATE.search(line)
        if m and m.group(2) == "LEADER":
            out.append((term, n))
    return out


def terms_led(cluster):
    """{term: [node ids]} over every process the cluster ever started."""
    led = {}
    for p in cluster.processes:
        if not p.name.startswith("kelm"):
            continue  # a Runner
        node = int(p.name.split("-")[0][len("kelm"):])
        for term, _ in leaderships(p):
            led.setdefault(term, []).append(node)
    return led


def assert_one_leader_per_term(cluster):
    led = terms_led(cluster)
    for term, nodes in led.items():
        assert len(nodes) == 1, f"term {term} led by {nodes}"
    return led


def current_state(process):
    """The daemon's state after its last "state changed" line (FOLLOWER before any)."""
    state = "FOLLOWER"
    for m in STATE.finditer(process.output()):
        state = m.group(2)
    return state


def live(cluster):
    return {i: p for i, p in cluster.daemons.items() if p.proc.poll() is None}


def wait_for_leader(cluster, timeout=20.0, exclude=()):
    """The id of the one live daemon that leads, once exactly one does."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        leaders = [i for i, p in live(cluster).items() if current_state(p) == "LEADER" and i not in exclude]
        if len(leaders) == 1:
            return leaders[0]
        time.sleep(0.1)
    states = {i: current_state(p) for i, p in live(cluster).items()}
    raise AssertionError(f"no single leader within {timeout} s: {states}")


def cmdlog(db):
    """The rows of a node's command log; a daemon that is just creating its database
    holds it locked for a moment (and an absent one reads as empty)."""
    if not os.path.exists(db):
        return []
    for _ in range(50):
        r = subprocess.run(["sqlite3", "-readonly", db, "select idx, term, key, value from cmdlog order by idx;"],
                           capture_output=True, text=True, timeout=20)
        if r.returncode == 0 or ("locked" not in r.stderr and "no such table" not in r.stderr):
            break
        time.sleep(0.1)
    assert r.returncode == 0, r.stderr
    return [tuple(line.split("|", 3)) for line in r.stdout.splitlines()]


def session_ids(db):
    return [row[3] for row in cmdlog(db) if row[2] == "cluster-session-id"]


def wait_until(check, timeout, what):
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        last = check()
        if last:
            return last
        time.sleep(0.1)
    raise AssertionError(f"{what} not within {timeout} s (last: {last})")


def kill9(process):
    process.signal(signal.SIGKILL)
    process.wait(10)


def same_prefix(logs):
    """True when every log is a prefix of the longest one."""
    longest = max(logs, key=len)
    return all(log == longest[:len(log)] for log in logs)
