"""Raft transport and command log from the outside: a flood of junk datagrams does not
take a node down, one daemon per port and per database, the log is readable with sqlite3."""
import os
import random
import signal
import socket
import struct
import subprocess
import time

from kelm_harness import binary

TRAVELLING = [5, 6, 9, 130, 131, 132, 133, 134]


def sqlite3(db, sql):
    r = subprocess.run(["sqlite3", "-readonly", db, sql], capture_output=True, text=True, timeout=20)
    assert r.returncode == 0, r.stderr
    return r.stdout


def junk_records(rng, own_id, peers):
    """448-byte datagrams that look like records but must never reach the Raft node."""
    while True:
        body = rng.randbytes(424)
        kind = rng.randrange(4)
        if kind == 0:  # a local control type (STOP_THREAD above all) from a real peer
            typ, frm, to = rng.choice([0, 1, 2, 3, 4, 7, 8, 10, 129, 135, 2**32 - 1]), rng.choice(peers), own_id
        elif kind == 1:  # a sender that is not configured
            typ, frm, to = rng.choice(TRAVELLING), rng.choice([0, own_id, 9, 63, 64, 66, 67, 65535]), own_id
        elif kind == 2:  # addressed to someone else
            typ, frm, to = rng.choice(TRAVELLING), rng.choice(peers), rng.choice([0, 2, 3, 66, 67])
        else:  # wrong length field
            typ, frm, to = rng.choice(TRAVELLING), rng.choice(peers), own_id
            yield struct.pack("=IIIIQ", typ, rng.randrange(448), to, frm, rng.randrange(2**64)) + body
            continue
        yield struct.pack("=IIIIQ", typ, 448, to, frm, rng.randrange(2**64)) + body


def test_flood_of_random_datagrams_leaves_the_node_up(cluster_factory):
    c = cluster_factory(3)
    p = c.start(1)
    assert p.wait_for("[srv 127.0.0.1:")
    assert p.wait_for("read command log done")
    port = c.doc["nodes"][0]["kelm_port"]
    rng = random.Random(20261208)
    records = junk_records(rng, 1, [2, 3])
    sent = 0
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        deadline = time.monotonic() + 3.0
        while time.monotonic() < deadline:
            for length in range(0, 1500, 7):  # every length class, short and long
                s.sendto(rng.randbytes(length), ("127.0.0.1", port))
                sent += 1
            for _ in range(100):
                rec = next(records)
                # longer than a record: only the first 448 bytes count
                s.sendto(rec + rng.randbytes(rng.randrange(2)) * rng.randrange(100), ("127.0.0.1", port))
                sent += 1
            time.sleep(0.01)
    assert sent > 5000
    time.sleep(0.5)
    assert p.proc.poll() is None, p.output()[-2000:]
    out = p.output()
    drops = out.count("drop datagram from 127.0.0.1:")
    assert 1 <= drops <= 2, drops  # throttled: a flood cannot fill the disk
    p.signal(signal.SIGTERM)
    assert p.wait(10) == 0
    out = p.output()
    assert "[monitor] Leader not found, exit immediately" in out
    assert "[main] KELM exit" in out
    assert "can't recv message" not in out


def test_one_daemon_per_database(cluster_factory, processes):
    c = cluster_factory(3)
    first = c.start(1)
    assert first.wait_for("read command log done")
    # node 2's port is free, but the database is node 1's
    second = processes([binary("kelm"), "-c", c.config_path, "-s", c.db_path(1), "-n", "2"], name="second",
                       env=c.env_for(2))
    assert second.wait(10) == 1
    assert f'database "{c.db_path(1)}" is in use by another kelm' in second.output()
    assert "[srv " not in second.output()  # refused before any endpoint ran
    assert first.proc.poll() is None
    first.signal(signal.SIGTERM)
    assert first.wait(10) == 0


def test_one_daemon_per_port(cluster_factory, processes, tmp_path):
    c = cluster_factory(3)
    first = c.start(1)
    assert first.wait_for("[srv 127.0.0.1:")
    time.sleep(0.2)
    second = processes([binary("kelm"), "-c", c.config_path, "-s", str(tmp_path / "other.db"), "-n", "1"],
                       name="second", env=c.env_for(1))
    assert second.wait(10) == 1
    assert "can't bind" in second.errors()
    assert first.proc.poll() is None
    first.signal(signal.SIGTERM)
    assert first.wait(10) == 0


def test_command_log_is_readable_with_sqlite3(cluster_factory):
    c = cluster_factory(3)
    db = c.db_path(1)
    fill = binary("test-cmdlog-fill")
    assert subprocess.run([fill, db, "1", "svc-o'brien", "it's \"quoted\"'); drop table cmdlog; --"],
                          capture_output=True, timeout=20).returncode == 0
    r = subprocess.run([fill, db, str(2**40), "cluster-session-id-11e9", "x", "2"], capture_output=True, text=True,
                       timeout=20)
    assert r.returncode == 0 and r.stdout.strip() == "3", r.stderr
    p = c.start(1)
    assert p.wait_for(f"[slog] read command log done. last_idx = 3, last_term = {2**40}")
    # while the daemon runs
    rows = sqlite3(db, "select idx, term, key, value from cmdlog order by idx;").splitlines()
    assert rows == [
        "1|1|svc-o'brien|it's \"quoted\"'); drop table cmdlog; --",
        f"2|{2**40}|cluster-session-id-11e9|x",
        f"3|{2**40}|cluster-session-id-11e9|x",
    ]
    assert "cmdlog_idx" in sqlite3(db, ".indexes cmdlog")
    assert sqlite3(db, "pragma journal_mode;").strip() == "wal"
    p.signal(signal.SIGTERM)
    assert p.wait(10) == 0
    assert sqlite3(db, "select count(*) from cmdlog;").strip() == "3"
    assert os.path.exists(db + ".lock")
