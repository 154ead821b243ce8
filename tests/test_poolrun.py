"""poolrun end to end on the emulated pools: start, stop and recovery with their
phase lines and exit statuses, hooks, and two nodes handing a service back and forth."""
import json
import os
import subprocess

import pytest

from kelm_harness import binary
from poolrun_harness import Site


@pytest.fixture
def site(tmp_path):
    return Site(tmp_path)


def begin(action, name="svc", pools=2, ext_ips=0):
    extra = f" ext_ips={ext_ips}" if action != "recovery" else ""
    return f"phase=service name={name} action={action} pools={pools}{extra} : begin"


def done(action, name="svc"):
    return f"phase=service name={name} action={action} exit=0 : done"


def mounted(site, pool):
    return [d["mounted"] for p in site.pools_named(pool) for d in p["datasets"]]


def test_start_stop_recovery_and_their_repeats(site):
    site.pool("tank")
    site.pool("data", zvols=["v1"])
    site.service("svc", ["tank", "data"])

    r = site.poolrun("start", "svc")
    assert r.rc == 0, r
    assert r.texts == [
        begin("start"),
        "phase=pool-import pool=tank health=ONLINE : importing",
        "phase=pool-import pool=tank : imported",
        "phase=pool-import pool=data health=ONLINE : importing",
        "phase=pool-import pool=data : imported",
        "phase=ext-ip count=0 : begin add",
        done("start"),
    ]
    assert site.holders("tank") == ["node1"] and site.holders("data") == ["node1"]
    assert mounted(site, "tank") == [True]

    r = site.poolrun("start", "svc")
    assert r.rc == 0, r
    assert r.texts == [begin("start"), "phase=pool-import pool=tank : already imported",
                       "phase=pool-import pool=data : already imported", "phase=ext-ip count=0 : begin add",
                       done("start")]

    r = site.poolrun("stop", "svc")
    assert r.rc == 0, r
    assert r.texts == [
        begin("stop"),
        "phase=pool-check-busy pool=tank : checking pool holders",
        "phase=pool-export pool=tank : exporting",
        "phase=pool-export pool=tank : exported",
        "phase=pool-check-busy pool=data : checking pool holders",
        "phase=pool-export pool=data : exporting",
        "phase=pool-export pool=data : exported",
        "phase=ext-ip count=0 : begin remove",
        done("stop"),
    ]
    assert site.holders("tank") == [] and site.holders("data") == []

    r = site.poolrun("stop", "svc")
    assert r.rc == 0, r
    assert r.texts == [begin("stop"), "phase=service name=svc action=stop : nothing of the service on this host: "
                       "no hooks run", "phase=pool-export pool=tank : already exported",
                       "phase=pool-export pool=data : already exported", "phase=ext-ip count=0 : begin remove",
                       done("stop")]

    # Recovery takes the first importable pool only and leaves it exported.
    r = site.poolrun("recovery", "svc")
    assert r.rc == 0, r
    assert r.texts == [
        begin("recovery"),
        "phase=pool-recovery pool=tank health=ONLINE : importing",
        "phase=pool-recovery pool=tank : imported",
        "phase=pool-recovery pool=tank : onlined vdevs",
        "phase=pool-recovery pool=tank : exporting (recovery)",
        "phase=pool-recovery pool=tank : exported",
        done("recovery"),
    ]
    imports = [op for op in site.emul("ops").splitlines() if '"op":"import"' in op]
    assert '"flags":10' in imports[-1]
    assert site.holders("tank") == []


def test_recovery_skips_what_it_cannot_import(site):
    site.pool("tank")
    site.pool("data")
    site.service("svc", ["ghost", "tank"])
    site.service("held", ["data"])
    assert site.poolrun("start", "held").rc == 0
    r = site.poolrun("recovery", "svc")
    assert r.rc == 0, r
    assert r.texts[1] == "phase=pool-recovery pool=ghost : skip import: not found among importable pools"
    assert "phase=pool-recovery pool=tank : exported" in r.texts
    r = site.poolrun("recovery", "held")
    assert r.rc == 0, r
    assert r.texts == [begin("recovery", "held", 1),
                       "phase=pool-recovery pool=data : skip import: not found among importable pools",
                       done("recovery", "held")]


def test_service_without_pools_or_addresses_and_an_unknown_service(site):
    site.service("empty")
    r = site.poolrun("start", "empty")
    assert r.rc == 0, r
    assert r.texts == [begin("start", "empty", 0), "phase=ext-ip count=0 : begin add", done("start", "empty")]
    r = site.poolrun("stop", "nosuch")
    assert r.rc == 13, r
    assert r.texts == ["FAILED phase=service name=nosuch exit=13 : service was not found in config"]


def test_unreadable_host_name_means_no_host_node_id(site):
    # A name longer than gethostname's buffer cannot be read. The run goes on as on
    # a host that is no configured node; the emulated pools, which are seen per
    # host, then refuse with a failure line of their own.
    unreadable = "n" * 300
    site.service("empty")
    r = site.poolrun("start", "empty", host=unreadable)
    assert r.rc == 0, r
    assert r.texts[-1] == done("start", "empty")
    site.pool("tank")
    site.service("svc", ["tank"])
    r = site.poolrun("start", "svc", host=unreadable)
    assert r.rc != 0 and r.rc != 1, r
    assert r.texts[-1].startswith("FAILED phase=") and f"exit={r.rc} :" in r.texts[-1], r


def test_start_failures_29_and_20(site):
    site.pool("tank")
    site.pool("bad", root_state=5)
    site.service("ghost", ["tank", "ghost"])
    site.service("bad", ["bad"])
    site.service("svc", ["tank"])

    r = site.poolrun("start", "ghost")
    assert r.rc == 29, r
    assert r.failed() == ["FAILED phase=pool-import pool=ghost exit=29 : not found among importable pools"]
    assert site.holders("tank") == ["node1"]  # nothing is rolled back
    assert site.poolrun("stop", "svc").rc == 0

    r = site.poolrun("start", "bad")
    assert r.rc == 29, r
    assert r.failed() == ["FAILED phase=pool-import pool=bad exit=29 : bad health FAULTED; import is impossible"]

    site.emul("fault", {"op": "import", "pool": "tank", "errno": 5, "text": "cannot import 'tank': I/O error"})
    r = site.poolrun("start", "svc")
    assert r.rc == 20, r
    assert r.texts[-2:] == ["phase=pool-import pool=tank health=ONLINE : importing",
                            "FAILED phase=pool-import pool=tank exit=20 : cannot import 'tank': I/O error"]
    assert site.holders("tank") == []


def test_start_is_done_only_with_datasets_mounted(site):
    site.pool("tank", datasets=[{"name": "tank", "mounted": False, "busy": False, "mount_fail": True}])
    site.service("svc", ["tank"])
    r = site.poolrun("start", "svc")
    assert r.rc == 20, r
    assert r.texts[-2:] == ["phase=pool-import pool=tank : imported",
                            "FAILED phase=pool-import pool=tank exit=20 : datasets not mounted: "
                            "cannot mount 'tank': I/O error"]
    assert not any("done" in t for t in r.texts)

    # Once the disk is back, a repeated start settles: already imported, then mounted.
    site.emul("update", "tank", {"datasets": [{"name": "tank", "mounted": False, "busy": False,
                                               "mount_fail": False}]})
    r = site.poolrun("start", "svc")
    assert r.rc == 0, r
    assert "phase=pool-import pool=tank : already imported" in r.texts
    assert mounted(site, "tank") == [True]

    # A pool that is unavailable here (its host cut off from the disks) is no success.
    site.emul("fence", "node1")
    r = site.poolrun("start", "svc")
    assert r.rc == 20, r
    assert r.failed() == ["FAILED phase=pool-import pool=tank exit=20 : datasets not mounted: pool is unavailable"]


def test_recovery_failures_and_a_pool_left_import_only(site):
    site.pool("tank")
    site.service("svc", ["tank"])
    site.emul("fault", {"op": "import", "pool": "tank", "errno": 5, "text": "cannot import: I/O error"})
    r = site.poolrun("recovery", "svc")
    assert r.rc == 48, r
    assert r.failed() == ["FAILED phase=pool-recovery pool=tank exit=48 : cannot import: I/O error"]

    site.emul("fault", {"op": "export", "pool": "tank", "errno": 16, "text": "pool is busy"})
    r = site.poolrun("recovery", "svc")
    assert r.rc == 47, r
    assert r.failed() == ["FAILED phase=pool-recovery pool=tank exit=47 : pool is busy"]
    assert mounted(site, "tank") == [False]  # imported without mounting

    r = site.poolrun("start", "svc")
    assert r.rc == 0, r
    assert r.texts[1] == "phase=pool-import pool=tank : already imported"
    assert mounted(site, "tank") == [True]


def test_stop_failures_30(site, tmp_path):
    site.pool("tank")
    site.pool("data", zvols=["v1"])
    site.service("svc", ["tank", "data"], ext_ips=[{"interface": "kelm-none0", "ip": "192.0.2.1"}])
    os.makedirs(site.service_hook_dir())
    site.recording_hook(site.service_hook_dir(), "001.rec")
    # The address cannot be added on this host's interfaces: import the pools directly.
    for pool in ("tank", "data"):
        site.service(f"only-{pool}", [pool])
        assert site.poolrun("start", f"only-{pool}").rc == 0
    site.clear_hook_log()

    dev = os.path.join(site.root, "hosts/node1/dev/zvol/data/v1")
    if not os.path.exists(dev):
        pytest.skip("zvol device nodes need root")
    with open(dev, "rb") as held:
        holder = subprocess.Popen(["sleep", "60"], stdin=held)
    try:
        r = site.poolrun("stop", "svc")
    finally:
        holder.kill()
        holder.wait()
    assert r.rc == 30, r
    assert site.hook_log() == ["001.rec stop tank 1 svc", "001.rec stop data 1 svc"]
    assert f"phase=pool-check-busy pool=data : held by pid {holder.pid} (sleep) /dev/zvol/data/v1" in r.texts
    assert r.texts[-1] == "FAILED phase=pool-check-busy pool=data exit=30 : pool is busy"
    assert not r.having("ext-ip")
    assert site.holders("tank") == [] and site.holders("data") == ["node1"]

    site.emul("fault", {"op": "export", "pool": "data", "errno": 5, "text": "cannot export 'data': I/O error"})
    r = site.poolrun("stop", "only-data")
    assert r.rc == 30, r
    assert r.texts[-1] == "FAILED phase=pool-export pool=data exit=30 : cannot export 'data': I/O error"

    # A state that cannot be read is not "already exported".
    site.emul("fault", {"op": "open", "pool": "data", "errno": 5, "text": "I/O error"})
    r = site.poolrun("stop", "only-data")
    assert r.rc == 30, r
    assert r.failed() == ["FAILED phase=pool-export pool=data exit=30 : can't tell whether pool is imported: "
                          "I/O error"]
    assert site.holders("data") == ["node1"]


def test_stop_of_a_suspended_pool_fails_or_hangs_until_whoever_waits_gives_up(site):
    """A host cut off from every disk of a pool cannot export it: by default the
    export fails at once; with a hang fault it blocks as the real one does, and only
    the caller's own time limit ends the run (for a service action, the daemon's
    Runner call limit)."""
    site.pool("tank", vdevs=[{"path": "/dev/diskid/N2", "host": "node2", "state": 7}])
    site.service("svc", ["tank"])
    assert site.poolrun("start", "svc").rc == 0
    site.emul("fence", "node1")
    r = site.poolrun("stop", "svc")
    assert r.rc == 30, r
    assert r.texts[-1] == "FAILED phase=pool-export pool=tank exit=30 : pool I/O is currently suspended"

    site.emul("fault", {"op": "export", "pool": "tank", "hang": True})
    with pytest.raises(subprocess.TimeoutExpired):
        site.poolrun("stop", "svc", timeout=10)  # time to reach the hang on a loaded machine
    assert site.holders("tank") == ["node1"]
    hung = [json.loads(line) for line in site.emul("ops").splitlines()]
    assert {"host": "node1", "op": "disable_datasets", "pool": "tank", "result": "hanging"} in hung


def test_mistyped_service_members_end_in_one_config_line(site):
    bad = [
        [{"interface": "em0"}],
        [{"ip": "10.0.0.1"}],
        [{"interface": "em0", "ip": 5}],
        ["10.0.0.1"],
    ]
    site.pool("tank")
    for i, ext_ips in enumerate(bad):
        site.service(f"s{i}", ["tank"], ext_ips=ext_ips)
    site.service("p", "tank")
    for name in [f"s{i}" for i in range(len(bad))] + ["p"]:
        r = site.poolrun("start", name)
        assert r.rc == 15, r
        assert len(r.lines) == 1 and r.texts[0].startswith(
            f"FAILED phase=config path={site.config_path} exit=15 : bad config: service '{name}'"), r
    assert site.holders("tank") == []
    # A mistyped id of this host's node.
    site.write_config(nodes=[{"id": "1", "nodename": "node1"}])
    r = site.poolrun("start", "p")
    assert r.rc == 15 and len(r.failed()) == 1, r


def test_hooks_run_in_order_with_the_environment_of_each_pool(site):
    site.pool("tank")
    site.pool("data")
    site.service("svc", ["tank", "data"])
    hooks = site.service_hook_dir()
    site.recording_hook(hooks, "010.a")
    site.recording_hook(hooks, "002.b")
    site.recording_hook(hooks, "100.c", "exit 7\n")
    site.recording_hook(hooks, "10.a")
    site.recording_hook(hooks, "0100.b")
    site.recording_hook(hooks, "abc")
    os.chmod(site.recording_hook(hooks, "020.x"), 0o644)
    os.makedirs(os.path.join(hooks, "040.d"))
    # The real pool event hook: without its INI file it publishes nothing and exits 0.
    os.symlink(binary("099.notify"), os.path.join(hooks, "099.notify"))
    site.recording_hook(site.pool_hook_dir("tank"), "001.own")

    r = site.poolrun("start", "svc")
    assert r.rc == 0, r
    assert site.hook_log() == ["002.b onestart tank 1 svc", "010.a onestart tank 1 svc", "100.c onestart tank 1 svc",
                               "002.b onestart data 1 svc", "010.a onestart data 1 svc", "100.c onestart data 1 svc"]
    scripts = r.having("phase=pool-script pool=tank")
    assert scripts == [
        "phase=pool-script pool=tank script=002.b : onestart", "phase=pool-script pool=tank script=002.b : rc=0",
        "phase=pool-script pool=tank script=010.a : onestart", "phase=pool-script pool=tank script=010.a : rc=0",
        "phase=pool-script pool=tank script=099.notify : onestart",
        "phase=pool-script pool=tank script=099.notify : rc=0",
        "phase=pool-script pool=tank script=100.c : onestart",
        "phase=pool-script pool=tank script=100.c : exited rc=7",
    ]
    # Hooks come after the addresses, and their outcome changes nothing.
    assert r.texts.index("phase=ext-ip count=0 : begin add") < r.texts.index(scripts[0])
    assert r.texts[-1] == done("start")

    # node2 holds none of the pools and no address: its stop runs no hook, so no
    # pool-down event goes out for pools that were never up there (a returning
    # node is asked to stop every service placed elsewhere).
    site.clear_hook_log()
    r = site.poolrun("stop", "svc", host="node2")
    assert r.rc == 0, r
    assert site.hook_log() == []
    assert "phase=service name=svc action=stop : nothing of the service on this host: no hooks run" in r.texts
    assert r.texts[-1] == done("stop")

    # The holder's stop runs every stop hook, in reverse order.
    site.clear_hook_log()
    assert site.poolrun("stop", "svc").rc == 0
    assert site.hook_log() == ["100.c stop tank 1 svc", "010.a stop tank 1 svc", "002.b stop tank 1 svc",
                               "100.c stop data 1 svc", "010.a stop data 1 svc", "002.b stop data 1 svc"]

    # A host that is no configured node gives an empty node id.
    assert site.poolrun("start", "svc", host="node9").rc == 0
    site.clear_hook_log()
    assert site.poolrun("stop", "svc", host="node9").rc == 0
    assert site.hook_log()[0] == "100.c stop tank  svc"

    assert site.poolrun("start", "svc").rc == 0
    # Without the service hook directory each pool's own hooks run, without the variables.
    subprocess.run(["rm", "-rf", hooks], check=True)
    site.clear_hook_log()
    assert site.poolrun("stop", "svc").rc == 0
    assert site.hook_log() == ["001.own stop - - -"]


def test_two_nodes_hand_a_service_back_and_forth(site):
    site.pool("tank", multihost=True)
    site.pool("data", zvols=["v1"])
    site.service("svc", ["tank", "data"])
    for host in ["node1", "node2", "node1", "node2"]:
        r = site.poolrun("start", "svc", host=host)
        assert r.rc == 0, r
        assert site.holders("tank") == [host] and site.holders("data") == [host]
        assert mounted(site, "data") == [True]
        other = "node2" if host == "node1" else "node1"
        # The other node sees the pools as not its own: its stop changes nothing.
        r = site.poolrun("stop", "svc", host=other)
        assert r.rc == 0 and r.having("already exported"), r
        assert site.holders("tank") == [host]
        r = site.poolrun("stop", "svc", host=host)
        assert r.rc == 0, r
        assert site.holders("tank") == [] and site.holders("data") == []
    assert site.double_imports() == 0
