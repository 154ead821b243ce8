"""The end of a leadership while the management endpoint holds a request: the
leader is told to exit while a service start waits on a stopped Runner, is even
stopped itself for a while, and the Runner comes back last. The exiting leader
gives up its leadership at once, answers the request it holds with its result,
refuses new ones, and exits 0; another node then serves requests."""
import signal
import threading
import time

import pytest

from raft_watch import wait_for_leader
from service_site import ServiceCluster, wait_until
from test_mgmt import ask

IDS = (1, 2, 3)
SERVICES = [{"name": "s1", "pools": ["p1"], "pri0": 1}]
TRY_AGAIN = "Request cannot be done. Try again."


@pytest.fixture
def site(tmp_path):
    c = ServiceCluster(tmp_path, services=SERVICES, ids=IDS)
    yield c
    c.stop_all()


def test_exiting_leader_answers_what_it_holds_and_hands_over(site):
    for i in IDS:
        site.start_node(i)
    leader_id = wait_for_leader(site, timeout=30)
    leader = site.daemons[leader_id]
    url = site.doc["cluster"]["mgmt-url"]
    wait_until(lambda: site.holders("p1") == ["node1"], 60, "s1 started on node 1")
    assert ask(url, {"call": "service", "cmd": "stop", "serviceName": "s1"}, 60000) == {"response": None}
    target = next(i for i in IDS if i != leader_id)

    # A start on a node whose Runner is stopped: its body waits in the Runner call.
    site.runners[target].signal(signal.SIGSTOP)
    held = {}

    def start_on_target():
        held["reply"] = ask(url, {"call": "service", "cmd": "start", "serviceName": "s1", "nodeId": target,
                                  "requestId": "held"}, 120000)

    client = threading.Thread(target=start_on_target)
    client.start()
    try:
        assert leader.wait_for(f"service start serviceName=s1 nodeId={target} requestId=held", 10)
        leader.signal(signal.SIGTERM)
        # Once it is exiting, new requests are refused at once while the held one runs.
        refused = {"error": "EAGAIN", "errorMessage": TRY_AGAIN, "requestId": "late"}
        wait_until(lambda: ask(url, {"call": "node", "cmd": "status", "requestId": "late"}, 2000) == refused, 20,
                   "new requests refused by the exiting leader")
        time.sleep(1)
        leader.signal(signal.SIGSTOP)
        time.sleep(8)
        leader.signal(signal.SIGCONT)
        t_cont = time.monotonic()
        site.runners[target].signal(signal.SIGCONT)
        client.join(60)
        assert not client.is_alive()
    finally:
        site.runners[target].signal(signal.SIGCONT)
        leader.signal(signal.SIGCONT)
        client.join(130)

    # The request whose body ran got that body's result, not a time-out.
    reply = held["reply"]
    assert reply is not None and reply.get("requestId") == "held", reply
    assert leader.wait(30) == 0, leader.output()[-3000:]
    assert "mgmt_app: Cleanup" in leader.output() and "[main] KELM exit" in leader.output()

    # Another node serves requests within 15 s.
    def served():
        r = ask(url, {"call": "node", "cmd": "status"}, 1000)
        return r is not None and "response" in r
    wait_until(served, max(1.0, t_cont + 15 - time.monotonic()), "another node serving requests")
    print(f"held request answered {reply}; another node serving {time.monotonic() - t_cont:.1f} s after the Runner"
          " went on")
    others = [site.daemons[i] for i in IDS if i != leader_id]
    assert any("mgmt_app: ACTIVATED" in p.output() for p in others)
    assert len(site.holders("p1")) <= 1 and site.double_imports() == 0
