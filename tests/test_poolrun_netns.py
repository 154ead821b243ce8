"""poolrun's service addresses for real, inside network namespaces made for this
module (root only; the run ends with ctest's skip status where namespaces are
refused). Two namespaces stand for two nodes, joined by a veth pair whose ends are
both called kelmsvc0; no interface of the host is touched.

promote_secondaries is set on kelmsvc0: Linux deletes every secondary address of a
subnet together with the primary one unless it is set, so stopping the service that
added its address first would take the addresses of the others on that subnet with
it. Sites running several services on one subnet of an interface need the same
setting."""
import errno
import os

import pytest

from poolrun_harness import Site, namespaces_or_skip

NETS = {}


@pytest.fixture(scope="module", autouse=True)
def nets():
    spaces = namespaces_or_skip()
    try:
        a, why = spaces.add("a")
        assert a, why
        b, why = spaces.add("b")
        assert b, why
        spaces.ip(a, "link", "add", "kelmsvc0", "type", "veth", "peer", "name", "kelmsvc0", "netns", b)
        spaces.ip(a, "link", "add", "kelmlongname012", "type", "veth", "peer", "name", "kelmlp0")
        for ns, devs in ((a, ["kelmsvc0", "kelmlongname012", "kelmlp0"]), (b, ["kelmsvc0"])):
            for dev in devs:
                spaces.ip(ns, "link", "set", dev, "up")
            spaces.sysctl(ns, "net.ipv4.conf.kelmsvc0.promote_secondaries", 1)
        NETS.update(a=a, b=b, spaces=spaces)
        yield spaces
    finally:
        spaces.delete_all()


@pytest.fixture
def site(tmp_path):
    return Site(tmp_path)


def addrs(which, dev="kelmsvc0"):
    return NETS["spaces"].addresses(NETS[which], dev)


def ext_ip(ip, netmask=None, interface="kelmsvc0"):
    e = {"interface": interface, "ip": ip}
    if netmask is not None:
        e["netmask"] = netmask
    return e


def run(site, action, service, node):
    """poolrun as node1 in namespace a or as node2 in namespace b."""
    return site.poolrun(action, service, host=node, netns=NETS["a" if node == "node1" else "b"])


def test_two_nodes_move_pools_addresses_and_hooks(site):
    site.pool("tank")
    site.pool("data", zvols=["v1"])
    site.service("svc", ["tank", "data"], ext_ips=[ext_ip("10.0.0.9", "24"), ext_ip("10.0.0.10", "255.255.255.0")])
    site.recording_hook(site.service_hook_dir(), "010.a")
    site.recording_hook(site.service_hook_dir(), "002.b")

    for node, here, there in [("node1", "a", "b"), ("node2", "b", "a"), ("node1", "a", "b")]:
        node_id = node[-1]
        site.clear_hook_log()
        r = run(site, "start", "svc", node)
        assert r.rc == 0, r
        print(f"after start on {node}: ip -4 addr in {here}: {addrs(here)}, in {there}: {addrs(there)}")
        assert addrs(here) == ["10.0.0.10/24", "10.0.0.9/24"]
        assert addrs(there) == []
        assert site.holders("tank") == [node] and site.holders("data") == [node]
        assert r.having("phase=ext-ip") == [
            "phase=ext-ip count=2 : begin add",
            "phase=ext-ip ip=10.0.0.10 iface=kelmsvc0 : adding",
            "phase=ext-ip ip=10.0.0.10 iface=kelmsvc0 : added",
            "phase=ext-ip ip=10.0.0.9 iface=kelmsvc0 : adding",
            "phase=ext-ip ip=10.0.0.9 iface=kelmsvc0 : added",
        ]
        assert site.hook_log() == [f"002.b onestart tank {node_id} svc", f"010.a onestart tank {node_id} svc",
                                   f"002.b onestart data {node_id} svc", f"010.a onestart data {node_id} svc"]

        r = run(site, "start", "svc", node)
        assert r.rc == 0, r
        assert len(r.having("already in desired state")) == 2 and len(r.having("already imported")) == 2

        site.clear_hook_log()
        r = run(site, "stop", "svc", node)
        assert r.rc == 0, r
        print(f"after stop on {node}: ip -4 addr in {here}: {addrs(here)}")
        assert addrs(here) == [] and addrs(there) == []
        assert site.holders("tank") == [] and site.holders("data") == []
        assert site.hook_log() == [f"010.a stop tank {node_id} svc", f"002.b stop tank {node_id} svc",
                                   f"010.a stop data {node_id} svc", f"002.b stop data {node_id} svc"]
        # Addresses go after the pools.
        assert r.texts.index("phase=pool-export pool=data : exported") < r.texts.index(
            "phase=ext-ip count=2 : begin remove")

        r = run(site, "stop", "svc", node)
        assert r.rc == 0, r
        assert len(r.having("already in desired state")) == 2 and len(r.having("already exported")) == 2
    assert site.double_imports() == 0


def test_a_failed_add_leaves_the_later_addresses_untouched(site):
    site.service("iface", ext_ips=[ext_ip("10.5.0.1"), ext_ip("10.5.0.2", interface="kelm-nosuch"),
                                   ext_ip("10.5.0.3")])
    site.service("ip", ext_ips=[ext_ip("10.5.0.300"), ext_ip("10.5.0.4")])
    site.service("mask", ext_ips=[ext_ip("10.5.1.1", "255.255.255"), ext_ip("10.5.1.2")])
    site.service("holes", ext_ips=[ext_ip("10.5.2.1", "255.0.255.0"), ext_ip("10.5.2.2")])
    cases = [
        ("iface", "10.5.0.2", "kelm-nosuch", os.strerror(errno.ENODEV)),
        ("ip", "10.5.0.300", "kelmsvc0", "invalid IPv4 address"),
        ("mask", "10.5.1.1", "kelmsvc0", "invalid netmask"),
        ("holes", "10.5.2.1", "kelmsvc0", os.strerror(errno.EINVAL)),
    ]
    for service, ip, iface, why in cases:
        r = run(site, "start", service, "node1")
        assert r.rc == 25, r
        assert r.texts[-1] == f"FAILED phase=ext-ip ip={ip} iface={iface} exit=25 : failed to add address: {why}"
        assert not r.having("pool-script") and not r.having("done")
    assert addrs("a") == ["10.5.0.1/32"]

    # Stop: the missing interface carries nothing, the unparsable text is nothing.
    r = run(site, "stop", "iface", "node1")
    assert r.rc == 0, r
    assert "phase=ext-ip ip=10.5.0.2 iface=kelm-nosuch : already in desired state" in r.texts
    r = run(site, "stop", "ip", "node1")
    assert r.rc == 0, r
    assert "phase=ext-ip ip=10.5.0.300 iface=kelmsvc0 : already in desired state" in r.texts
    assert addrs("a") == []


def test_remove_failures_and_an_unreadable_address_list(site):
    site.pool("tank")
    site.service("svc", ["tank"], ext_ips=[ext_ip("10.7.0.1", "24")])
    assert run(site, "start", "svc", "node1").rc == 0

    site.net_fault("delete", errno.EPERM)
    r = run(site, "stop", "svc", "node1")
    assert r.rc == 35, r
    assert r.texts[-1] == ("FAILED phase=ext-ip ip=10.7.0.1 iface=kelmsvc0 exit=35 : failed to remove address: "
                           + os.strerror(errno.EPERM))
    assert site.holders("tank") == []  # the pools are already exported
    assert addrs("a") == ["10.7.0.1/24"]

    # An address list that cannot be read decides nothing: the delete is tried.
    site.net_fault("list", errno.ENOBUFS)
    r = run(site, "stop", "svc", "node1")
    assert r.rc == 0, r
    assert "phase=ext-ip ip=10.7.0.1 iface=kelmsvc0 : deleted" in r.texts
    assert addrs("a") == []
    site.net_fault("list", errno.ENOBUFS)
    r = run(site, "stop", "svc", "node1")
    assert r.rc == 35, r
    assert r.texts[-1].endswith("failed to remove address: " + os.strerror(errno.EADDRNOTAVAIL))

    # On start the add is tried as well, and a repeated add succeeds.
    assert run(site, "start", "svc", "node1").rc == 0
    site.net_fault("list", errno.ENOBUFS)
    r = run(site, "start", "svc", "node1")
    assert r.rc == 0 and "phase=ext-ip ip=10.7.0.1 iface=kelmsvc0 : added" in r.texts, r
    assert addrs("a") == ["10.7.0.1/24"]
    assert run(site, "stop", "svc", "node1").rc == 0


def test_a_long_interface_name_is_cut_for_the_presence_test_too(site):
    site.service("svc", ext_ips=[ext_ip("10.8.0.1", "24", interface="kelmlongname0123456789")])
    r = run(site, "start", "svc", "node1")
    assert r.rc == 0, r
    assert addrs("a", "kelmlongname012") == ["10.8.0.1/24"]
    r = run(site, "start", "svc", "node1")
    assert "phase=ext-ip ip=10.8.0.1 iface=kelmlongname0123456789 : already in desired state" in r.texts, r
    r = run(site, "stop", "svc", "node1")
    assert r.rc == 0 and "phase=ext-ip ip=10.8.0.1 iface=kelmlongname0123456789 : deleted" in r.texts, r
    assert addrs("a", "kelmlongname012") == []


def test_stopping_one_service_keeps_the_other_on_the_same_subnet(site):
    site.service("first", ext_ips=[ext_ip("10.9.0.1", "24")])
    site.service("second", ext_ips=[ext_ip("10.9.0.2", "24")])
    assert run(site, "start", "first", "node1").rc == 0
    assert run(site, "start", "second", "node1").rc == 0
    assert addrs("a") == ["10.9.0.1/24", "10.9.0.2/24"]
    assert run(site, "stop", "first", "node1").rc == 0
    assert addrs("a") == ["10.9.0.2/24"]
    assert run(site, "stop", "second", "node1").rc == 0
    assert addrs("a") == []


def test_a_host_that_lost_the_pool_gives_up_its_addresses_but_a_busy_pool_keeps_them(site):
    """A failed export keeps the addresses while the host still has the pool's
    storage (the pool may come back to life here); once the pool layer reports the
    pool suspended, the host has lost it and the service runs elsewhere: its
    addresses go, and the stop still fails."""
    site.pool("tank", vdevs=[{"path": "/dev/diskid/N2", "host": "node2", "state": 7}])
    site.service("svc", ["tank"], ext_ips=[ext_ip("10.0.0.21", "24")])
    assert run(site, "start", "svc", "node1").rc == 0
    assert addrs("a") == ["10.0.0.21/24"]

    # An export that fails on a pool still usable here: the addresses stay.
    site.emul("fault", {"op": "export", "pool": "tank", "errno": 5, "text": "cannot export 'tank': I/O error"})
    r = run(site, "stop", "svc", "node1")
    assert r.rc == 30, r
    assert addrs("a") == ["10.0.0.21/24"]
    assert site.holders("tank") == ["node1"]

    # Cut off from the pool's disks: the export fails, the addresses go.
    site.emul("fence", "node1")
    r = run(site, "stop", "svc", "node1")
    assert r.rc == 30, r
    assert r.failed() == ["FAILED phase=pool-export pool=tank exit=30 : pool I/O is currently suspended"]
    assert addrs("a") == []
    # The service goes on elsewhere with its address.
    assert run(site, "start", "svc", "node2").rc == 0
    assert addrs("b") == ["10.0.0.21/24"] and addrs("a") == []
