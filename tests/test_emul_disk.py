"""Emulated shared disks through kelm-emul-disk: two processes acting as node1 and node2
register, reserve and pre-empt on two SCSI disks and one NVMe namespace; the journal
shows every command; faults, removal and bad input at the tool's edge."""
import json
import os
import subprocess

import pytest

from kelm_harness import binary

DISKS = [("da1", "scsi"), ("da2", "scsi"), ("nvme0ns1", "nvme")]


class Disks:
    def __init__(self, tmp_path):
        self.root = str(tmp_path / "emul")
        os.makedirs(self.root)

    def run(self, *args, host="node1"):
        env = dict(os.environ, KELM_EMUL_ROOT=self.root, KELM_EMUL_HOST=host)
        return subprocess.run([binary("kelm-emul-disk"), *args], env=env, capture_output=True, text=True,
                              timeout=60)

    def ok(self, *args, host="node1"):
        r = self.run(*args, host=host)
        assert r.returncode == 0, (args, r.stderr)
        return r.stdout

    def show(self, name=None):
        return json.loads(self.ok("show", *([name] if name else [])))

    def journal(self, name):
        return [json.loads(line) for line in self.ok("journal", name).splitlines()]


@pytest.fixture
def disks(tmp_path):
    d = Disks(tmp_path)
    for name, proto in DISKS:
        d.ok("create", name, proto)
    return d


def test_two_nodes_register_reserve_and_preempt_on_three_disks(disks):
    for name, _ in DISKS:
        disks.ok("register", name, "1", host="node1")
        disks.ok("register", f"/dev/{name}", "2", host="node2")  # the same disk by its device path
        disks.ok("reserve", name, "EXCLUSIVE_ACCESS", "1", host="node1")
        r = disks.run("reserve", name, "EXCLUSIVE_ACCESS", "2", host="node2")
        assert r.returncode == 1 and r.stderr == "RESERVATION CONFLICT\n"
        r = disks.run("preempt", name, "2", "2", "9", host="node2")
        assert r.returncode == 1 and r.stderr == "RESERVATION CONFLICT\n", "no registrant holds key 9"
        disks.ok("preempt", name, "EXCLUSIVE_ACCESS", "2", "1", host="node2")
    state = disks.show()
    assert sorted(state) == ["da1", "da2", "nvme0ns1"]
    for name, proto in DISKS:
        s = state[name]
        assert [(r["host"], r["key"]) for r in s["registrations"]] == [("node2", 2)]
        assert s["reservation"] == {"host": "node2", "key": 2, "type": 3 if proto == "scsi" else 2}
        assert s["generation"] == 3  # two registrations and the pre-emption; RESERVE does not count
        ops = [(j["host"], j["op"], j["status"]) for j in disks.journal(name)]
        ok = "GOOD" if proto == "scsi" else "SUCCESS"
        reg, res = ("register_ignore", "reserve") if proto == "scsi" else ("register", "acquire")
        assert ops == [("node1", reg, ok), ("node2", reg, ok), ("node1", res, ok),
                       ("node2", res, "RESERVATION CONFLICT"), ("node2", "preempt", "RESERVATION CONFLICT"),
                       ("node2", "preempt", ok)]
        last = disks.journal(name)[-1]
        assert (last["key"], last["sa_key"], last["generation"]) == (2, 1, 3)
        assert isinstance(last["t"], int)
    # No duel yet: one pre-emption per disk. node1 taking every disk back is one per disk.
    assert disks.ok("dueling", "60") == "0\n"
    for name, _ in DISKS:
        disks.ok("register", name, "1", host="node1")
        disks.ok("preempt", name, "2", "1", "2", host="node1")
    assert disks.ok("dueling", "60") == "3\n"
    assert disks.ok("dueling", "0") == "0\n"


def test_faults_removal_and_clear(disks):
    disks.ok("fault", json.dumps({"disk": "da1", "host": "node2", "action": "fail"}))
    assert disks.show("da1")["faults"][0]["host"] == "node2"
    disks.ok("remove", "da2")
    assert disks.show("da2")["removed"] is True
    disks.ok("reinsert", "da2")
    assert disks.show("da2")["epoch"] == 2
    disks.ok("clear")
    assert all(not s["faults"] for s in disks.show().values())
    # A fault without a disk goes to every disk.
    disks.ok("fault", json.dumps({"action": "conflict", "times": 1}))
    assert all(len(s["faults"]) == 1 for s in disks.show().values())


@pytest.mark.parametrize("args,rc,err", [
    ([], 2, "usage: kelm-emul-disk"),
    (["bogus"], 2, "usage: kelm-emul-disk"),
    (["create", "da9", "sata"], 1, "a disk is scsi or nvme, not sata"),
    (["create", "../x", "scsi"], 1, "bad disk name: ../x"),
    (["create", "da1", "scsi"], 1, "disk exists: da1"),
    (["register", "da9", "1"], 1, "no such disk: da9"),
    (["register", "da1", "-1"], 1, "kelm-emul-disk: bad key: -1"),
    (["register", "da1", "0x1g"], 1, "kelm-emul-disk: bad key: 0x1g"),
    (["register", "da1", "18446744073709551616"], 1, "kelm-emul-disk: bad key"),
    (["reserve", "da1", "7", "1"], 1, "kelm-emul-disk: bad type: 7"),
    (["reserve", "da1", "SHARED", "1"], 1, "kelm-emul-disk: bad type: SHARED"),
    (["fault", "{"], 1, "kelm-emul-disk: [json.exception.parse_error"),
    (["fault", '{"action":"melt"}'], 1, "fault \"action\" must be one of"),
    (["fault", '{"action":"fail","times":"2"}'], 1, "fault member \"times\" must be an integer"),
    (["dueling", "x"], 1, "kelm-emul-disk: stod"),
    (["dueling", "-1"], 1, "kelm-emul-disk: bad window: -1"),
    (["journal", "da9"], 1, "no such disk: da9"),
])
def test_bad_input_is_refused_with_a_reason_and_changes_nothing(disks, args, rc, err):
    before = disks.show()
    r = disks.run(*args)
    assert r.returncode == rc, r.stderr
    assert err in r.stderr, r.stderr
    assert disks.show() == before


def test_without_emulated_root_nothing_is_touched(tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "KELM_EMUL_ROOT"}
    r = subprocess.run([binary("kelm-emul-disk"), "create", "da1", "scsi"], env=env, capture_output=True,
                       text=True, timeout=30)
    assert r.returncode == 1
    assert "KELM_EMUL_ROOT unset" in r.stderr
