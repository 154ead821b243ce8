"""The management endpoint of a living cluster: only the leader answers at the
configured mgmt-url, every request shape gets one reply, malformed traffic leaves
it answering, it follows the leader after kill -9, it goes away with the
leadership while clients keep asking, and it does not hold the daemon's exit. These
clusters configure no services, so the service manager's activation never comes
to take requests: the requests it carries out answer "EAGAIN" at once."""

import json
import os
import select
import signal
import socket
import threading
import time

import zmq

from raft_watch import kill9, live, wait_for_leader, wait_until

HELP = {"call": "help"}
TRY_AGAIN = {"error": "EAGAIN", "errorMessage": "Request cannot be done. Try again."}


def ask(url, request, timeout_ms=1000, raw=None):
    """One REQ round trip: the parsed reply, or None on time-out."""
    ctx = zmq.Context.instance()
    s = ctx.socket(zmq.REQ)
    s.setsockopt(zmq.LINGER, 0)
    s.setsockopt(zmq.RCVTIMEO, timeout_ms)
    s.connect(url)
    try:
        s.send(raw if raw is not None else json.dumps(request).encode())
        return json.loads(s.recv())
    except zmq.Again:
        return None
    finally:
        s.close()


def wait_answering(url, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if ask(url, HELP, 300) is not None:
            return time.monotonic()
        time.sleep(0.05)
    raise AssertionError(f"endpoint {url} not answering within {timeout} s")


def start_cluster(cluster_factory, n=3):
    c = cluster_factory(n)
    for i in range(1, n + 1):
        c.start(i, log_level="debug")
    return c, c.doc["cluster"]["mgmt-url"]


def test_leader_answers_every_request_shape_and_survives_malformed_traffic(cluster_factory):
    c, url = start_cluster(cluster_factory)
    leader = wait_for_leader(c, timeout=20)
    wait_answering(url, 15)
    assert c.daemons[leader].wait_for("mgmt_app: ACTIVATED. Ready to receive ZMQ requests.", 5)
    for i, p in live(c).items():
        assert ("mgmt_app: ACTIVATING" in p.output()) == (i == leader)

    assert ask(url, {"call": "help", "requestId": 9}) == {"requestId": 9, "response": ["service", "node", "debug"]}
    assert ask(url, {"call": "node", "cmd": "list"}) == {"response": [1, 2, 3]}
    status = wait_until(lambda: (r := ask(url, {"call": "node", "cmd": "status"})) and
                        all(n["state"] == "ONLINE" for n in r["response"]) and r, 10, "all nodes online")
    assert [n["id"] for n in status["response"]] == [1, 2, 3]
    assert ask(url, {"call": "service", "cmd": "list"}) == {"response": None}
    assert ask(url, {"call": "node", "cmd": "enable"}) == {"error": "EINVAL", "errorMessage": "'id' should be set"}
    assert ask(url, {"call": "node", "cmd": "enable", "id": 4294967298}) == \
        {"error": "ENOENT", "errorMessage": "node can not be found"}
    assert ask(url, {"call": "service", "cmd": "stop", "serviceName": "web", "requestId": "x"}) == \
        dict(TRY_AGAIN, requestId="x")
    out = c.daemons[leader].output()
    assert "mgmt_app: cmd from 127.0.0.1: service stop serviceName=web requestId=x" in out
    assert "mgmt_app: done from 127.0.0.1: service stop serviceName=web requestId=x -> EAGAIN" in out

    # A stream of malformed frames and bodies.
    ctx = zmq.Context.instance()
    d = ctx.socket(zmq.DEALER)
    d.setsockopt(zmq.LINGER, 0)
    d.connect(url)
    for _ in range(100):
        d.send(b"{}")
        d.send_multipart([b"", b"{}", b"extra"])
        d.send_multipart([b"x", b""])
    bad = [b"", b"nope", b"\xff\xfe", b"[" * 5000, b'{"call":7}', b'{"call":"node","cmd":"status","id":"1"}']
    for body in bad:
        r = ask(url, None, raw=body)
        assert r["error"] == "EA80001" and "requestId" not in r, (body, r)
    for size in (64 * 1024 + 1, 1 << 20):  # refused unparsed; larger ones are cut off
        r = ask(url, None, raw=b"x" * size)
        assert r == {"error": "EA80001", "errorMessage":
                     f"Exception during request: request too large: {size} bytes, at most 65536"}, (size, r)
    assert ask(url, None, raw=b"x" * ((1 << 20) + 1), timeout_ms=1500) is None
    d.close()
    assert ask(url, HELP) == {"response": ["service", "node", "debug"]}


def test_endpoint_follows_the_leader_and_sigterm_ends_the_cluster(cluster_factory):
    c, url = start_cluster(cluster_factory)
    first = wait_for_leader(c, timeout=20)
    wait_answering(url, 15)
    t_kill = time.monotonic()
    kill9(c.daemons[first])
    second = wait_for_leader(c, timeout=20, exclude=(first,))
    t_up = wait_answering(url, 20)
    took = t_up - t_kill
    print(f"endpoint answering again {took:.2f} s after the leader was killed")
    assert took < 12.0, took
    assert c.daemons[second].wait_for("mgmt_app: ACTIVATED", 2)

    # Clients keep asking while the leader loses its majority (the endpoint goes
    # away with the leadership) and then gets SIGTERM with no leader known, which
    # ends it at once ("EXIT"): the endpoint must not hold the exit. (A leader's
    # own SIGTERM is carried out by the service manager, not wired in yet.)
    stop = threading.Event()
    answered = []

    def hammer():
        while not stop.is_set():
            r = ask(url, {"call": "node", "cmd": "status"}, 300)
            if r is not None:
                answered.append(r)

    threads = [threading.Thread(target=hammer) for _ in range(4)]
    for t in threads:
        t.start()
    try:
        time.sleep(0.5)
        for i, p in live(c).items():
            if i != second:
                kill9(p)
        leader = c.daemons[second]
        assert leader.wait_for("[raft] leader lost majority, go to follower state", 20)
        assert leader.wait_for("mgmt_app: backend exit", 5)
        wait_until(lambda: ask(url, HELP, 300) is None, 5, "endpoint gone with the leadership")
        leader.signal(signal.SIGTERM)
        assert leader.wait(30) == 0, leader.output()[-2000:]
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert answered
    out = leader.output()
    assert "mgmt_app: Cleanup" in out and "[main] KELM exit" in out


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def test_connection_flood_neither_spins_nor_silences_the_endpoint(cluster_factory):
    """With the daemon's open-file limit at 200, 400 idle TCP connections held 25 s
    (each one the endpoint closes is opened again) cost it little CPU, and a new
    client is answered soon after they close."""
    c = cluster_factory(1)
    p = c.start(1, log_level="info", prefix=["prlimit", "--nofile=200:200"])
    url = c.doc["cluster"]["mgmt-url"]
    wait_answering(url, 20)
    host, port = url[len("tcp://"):].rsplit(":", 1)
    held = []
    cpu0, t0 = cpu_seconds(p.pid), time.monotonic()
    try:
        while time.monotonic() - t0 < 25:
            poller = select.poll()
            for s in held:
                poller.register(s, select.POLLIN)
            ready = {fd for fd, _ in poller.poll(0)}
            for s in [s for s in held if s.fileno() in ready]:  # the greeting, or the end of the connection
                try:
                    if s.recv(4096, socket.MSG_DONTWAIT) != b"":
                        continue
                except BlockingIOError:
                    continue
                except OSError:
                    pass
                held.remove(s)
                s.close()
            while len(held) < 400:
                s = socket.socket()
                try:
                    s.connect((host, int(port)))
                except OSError:
                    s.close()
                    break
                held.append(s)
            time.sleep(0.5)
        used = cpu_seconds(p.pid) - cpu0
        took = time.monotonic() - t0
    finally:
        for s in held:
            s.close()
    t_closed = time.monotonic()
    wait_answering(url, 5)
    print(f"daemon CPU {used:.2f} s in {took:.1f} s of flood; answering {time.monotonic() - t_closed:.2f} s after")
    assert used < 0.10 * took, (used, took)
    assert p.proc.poll() is None
    assert "at tcp://" in p.output() and "every connection there is closed" in p.output()
