"""Service addresses moving between nodes for real: each node's daemon and Runner in a
network namespace of its own, the namespaces joined by a bridge that lives in one
more namespace (nothing of the host's network is touched), the cluster talking over
the bridge subnet, services with `ext_ips` on every node's bridge port. Root only;
the run ends with ctest's skip status where namespaces or bridges are refused."""
import time

import pytest

from poolrun_harness import namespaces_or_skip
from raft_watch import wait_for_leader
from service_site import (ServiceCluster, bridged_namespaces, placement_faults, readdress, start_node_in,
                          wait_until)

NODES = (1, 2, 3)
DEV = "kelmnet0"  # each node's port on the bridge, the same name in every namespace
SUBNET = "10.77.0"


def svc(name, pool, pri0, last_octet):
    return {"name": name, "pools": [pool], "pri0": pri0,
            "ext_ips": [{"interface": DEV, "ip": f"{SUBNET}.{last_octet}", "netmask": "24"}]}


SERVICES = [svc("s1", "p1", 2, 101), svc("s2", "p2", 3, 102)]


@pytest.fixture(scope="module")
def nets():
    spaces = namespaces_or_skip()
    try:
        names = bridged_namespaces(spaces, NODES, DEV, SUBNET)
        yield spaces, names
    finally:
        spaces.delete_all()


@pytest.fixture
def site(tmp_path, nets):
    spaces, names = nets
    c = ServiceCluster(tmp_path, len(NODES), SERVICES)
    readdress(c, {i: f"{SUBNET}.{i}" for i in NODES})
    c.names = names
    c.addresses = lambda i: [a for a in spaces.addresses(names[i], DEV) if a != f"{SUBNET}.{i}/24"]
    yield c
    c.stop_all()


def carriers(site, s):
    """The nodes whose namespace carries the service's address."""
    want = s["ext_ips"][0]["ip"] + "/24"
    return [i for i in NODES if want in site.addresses(i)]


def placed(site, nodes):
    recs = site.records(nodes[0])
    return not placement_faults(site, SERVICES, nodes, True) and all(
        carriers(site, s) == [recs[s["name"]]["run_node"]] for s in SERVICES)


def test_a_moved_service_takes_its_address_from_one_namespace_to_another(site):
    for i in NODES:
        start_node_in(site, i, site.names[i])
    leader = wait_for_leader(site, timeout=60)
    wait_until(lambda: placed(site, NODES), 120, "services and their addresses placed by preference")
    assert site.records(leader)["s1"]["run_node"] == 2 and site.records(leader)["s2"]["run_node"] == 3

    # SIGTERM on the node of a service: it is stopped there (address gone), started
    # elsewhere (address there), and only then does the node's daemon exit 0.
    s = SERVICES[0] if leader != 2 else SERVICES[1]
    member = s["pri0"]
    site.daemons[member].signal(15)
    assert site.daemons[member].wait(120) == 0
    rest = tuple(i for i in NODES if i != member)
    wait_until(lambda: placed(site, rest), 120, "the stopped member's service and address moved")
    moved_to = site.records(leader)[s["name"]]["run_node"]
    assert moved_to != member and carriers(site, s) == [moved_to]
    print(f"{s['name']}: address left {site.names[member]} for {site.names[moved_to]}")
    assert site.double_imports() == 0


def test_a_fenced_node_that_rejoins_keeps_no_address_of_a_moved_service(site):
    """A node paused long enough to be declared offline and fenced still carries its
    service's address on its port while it sleeps; its service moves. Once it runs
    again and rejoins, only the node that runs the service carries the address."""
    import signal
    for i in NODES:
        start_node_in(site, i, site.names[i])
    leader = wait_for_leader(site, timeout=60)
    wait_until(lambda: placed(site, NODES), 120, "services and their addresses placed by preference")
    s = SERVICES[0] if leader != 2 else SERVICES[1]
    member = s["pri0"]
    rest = tuple(i for i in NODES if i != member)
    site.daemons[member].signal(signal.SIGSTOP)
    try:
        def moved():
            rec = site.records(leader).get(s["name"], {})
            return rec.get("state") == 3 and rec.get("run_node") in rest and not placement_faults(
                site, [s], rest, False)
        wait_until(moved, 120, f"{s['name']} moved off paused node {member}")
        assert member in carriers(site, s), "the paused host dropped the address on its own"
    finally:
        site.daemons[member].signal(signal.SIGCONT)
    moved_to = site.records(leader)[s["name"]]["run_node"]
    wait_until(lambda: carriers(site, s) == [moved_to], 90, f"{s['name']}'s address only on node {moved_to}")
    # It stays so: the rejoined node does not take it up again.
    time.sleep(10)
    assert carriers(site, s) == [moved_to]
    assert site.records(leader)[s["name"]]["run_node"] == moved_to
    assert site.double_imports() == 0
