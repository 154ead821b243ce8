"""poolrun and nodefence at their command line, and the pool emulation tool shared
by processes acting as different hosts."""
import json
import os
import shutil
import subprocess
import tempfile

import pytest

from kelm_harness import binary


def run(prog, args, tmp_path, host="node1", user=None, timeout=20):
    env = dict(os.environ)
    env["KELM_EMUL_ROOT"] = str(tmp_path / "emul")
    env["KELM_EMUL_HOST"] = host
    kw = {}
    if user is not None:
        kw["user"] = 65534
        kw["group"] = 65534
    return subprocess.run([binary(prog)] + args, capture_output=True, text=True, timeout=timeout, env=env, **kw)


USAGE = {
    "poolrun": "(start|stop|recovery) [/path/to/config.json] service_name",
    "nodefence": "(fence-on|fence-off) [/path/to/config.json] node_id",
}
WRONG = {
    "poolrun": "wrong action (should be one of 'start', 'stop' or 'recovery')",
    "nodefence": "wrong action (should be one of 'fence-on' or 'fence-off'; start/stop/recovery are handled by poolrun)",
}
GOOD = {"poolrun": "start", "nodefence": "fence-on"}


@pytest.mark.parametrize("prog", ["poolrun", "nodefence"])
def test_usage_and_wrong_action(tmp_path, prog):
    r = run(prog, [GOOD[prog]], tmp_path)
    assert r.returncode == 1
    assert "[E] " in r.stdout and f"Usage: {binary(prog)} {USAGE[prog]}" in r.stdout
    assert "FAILED" not in r.stdout

    r = run(prog, [GOOD[prog], "a", "b", "c"], tmp_path)
    assert r.returncode == 1 and "Usage: " in r.stdout

    r = run(prog, ["bogus", "a", "b", "c", "d"], tmp_path)
    assert r.returncode == 10
    assert r.stdout.strip().endswith(f"FAILED phase=config action=bogus exit=10 : {WRONG[prog]}")
    assert r.stdout.count("\n") == 1


@pytest.mark.parametrize("prog", ["poolrun", "nodefence"])
def test_configuration_failures(tmp_path, prog):
    r = run(prog, [GOOD[prog], str(tmp_path), "x"], tmp_path)
    assert r.returncode == 11
    assert f"FAILED phase=config path={tmp_path} exit=11 : JSON file was not found" in r.stdout

    bad = tmp_path / "bad.json"
    bad.write_text("{\n")
    r = run(prog, [GOOD[prog], str(bad), "x"], tmp_path)
    assert r.returncode == 12
    assert f"FAILED phase=config path={bad} exit=12 : can't parse config: " in r.stdout

    # Three arguments read the fixed path, here under the emulated root.
    r = run(prog, [GOOD[prog], "x"], tmp_path)
    assert r.returncode == 11
    assert f"path={tmp_path}/emul/fs/usr/local/etc/kelm/config.json exit=11" in r.stdout

    if os.geteuid() == 0:
        # Root reads a mode-000 file: run as nobody, in a directory nobody can enter.
        open_dir = tempfile.mkdtemp(prefix="kelm-cfg-")
        try:
            os.chmod(open_dir, 0o755)
            secret = os.path.join(open_dir, "secret.json")
            with open(secret, "w") as f:
                f.write("{}")
            os.chmod(secret, 0)
            r = run(prog, [GOOD[prog], secret, "x"], tmp_path, user=65534)
            assert r.returncode == 11
            assert f"FAILED phase=config path={secret} exit=11 : can't open config" in r.stdout
        finally:
            shutil.rmtree(open_dir, ignore_errors=True)


def tool(args, tmp_path):
    return run("kelm-emul-zfs", args, tmp_path)


def test_emulation_tool_refuses_bad_input_and_loses_nothing(tmp_path):
    assert tool(["create", '{"name": "tank", "zvols": ["vol1"]}'], tmp_path).stdout.strip() == "1"
    before = tool(["show"], tmp_path).stdout
    for args in (["create", "{bad"], ["create", '{"name": "x", "vdevs": 3}'], ["update", "tank", "[1"],
                 ["update", "nosuch", "{}"], ["fault", '{"pool": "tank"}'], ["frobnicate"], ["fence"]):
        r = tool(args, tmp_path)
        assert r.returncode in (1, 2), args
        assert r.stderr.strip(), args
    assert tool(["show"], tmp_path).stdout == before

    for args in (["settings", '{"activity_window_ms": -1}'], ["settings", '{"nosuch": 1}'], ["settings", "[]"],
                 ["host-crash"], ["daemon-crash", "a", "b"], ["view"]):
        r = tool(args, tmp_path)
        assert r.returncode in (1, 2), args
        assert r.stderr.strip(), args
    assert tool(["show"], tmp_path).stdout == before

    assert tool(["fence", "node1"], tmp_path).returncode == 0
    state = json.loads(tool(["show"], tmp_path).stdout)
    assert state["hosts"]["node1"]["fenced"] is True
    assert tool(["double-imports"], tmp_path).stdout.strip() == "0"
    ops = [json.loads(line) for line in tool(["ops"], tmp_path).stdout.splitlines()]
    assert ops == [{"host": "node1", "op": "fence", "pool": ""}]


def test_emulation_tool_tells_a_host_crash_from_a_daemon_crash(tmp_path):
    """A daemon crash keeps the host's imports (the kernel holds them), a host crash
    drops them as a reboot without a cache file does; another host importing the
    pool afterwards is a double import only in the first case."""
    disks = [{"path": "/dev/diskid/N2", "host": "node2", "state": 7},
             {"path": "/dev/diskid/N3", "host": "node3", "state": 7}]
    for name in ("alpha", "beta"):
        assert tool(["create", json.dumps({"name": name, "vdevs": disks, "imported_by": {"node3": {}}})],
                    tmp_path).returncode == 0
    r = tool(["daemon-crash", "node3"], tmp_path)
    assert (r.returncode, r.stdout) == (0, "alpha\nbeta\n")
    state = json.loads(tool(["show"], tmp_path).stdout)
    assert all("node3" in p["imported_by"] for p in state["pools"].values())
    view = json.loads(tool(["view", "node3"], tmp_path).stdout)
    assert view["1"] == {"name": "alpha", "imported": True, "health": "ONLINE", "suspended": False,
                         "leaves": {"/dev/diskid/N2": "ONLINE", "/dev/diskid/N3": "ONLINE"}}

    r = tool(["host-crash", "node3"], tmp_path)
    assert (r.returncode, r.stdout) == (0, "alpha\nbeta\n")
    state = json.loads(tool(["show"], tmp_path).stdout)
    assert all(p["imported_by"] == {} for p in state["pools"].values())
    assert tool(["double-imports"], tmp_path).stdout.strip() == "0"
    assert [o["op"] for o in map(json.loads, tool(["ops"], tmp_path).stdout.splitlines())] == [
        "daemon-crash", "host-crash"]
    assert tool(["settings", '{"activity_window_ms": 50}'], tmp_path).returncode == 0
    assert json.loads(tool(["show"], tmp_path).stdout)["activity_window_ms"] == 50
