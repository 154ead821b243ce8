"""kelm-runner as the daemon sees it: msgpack-RPC from any client, the node action
programs run as the Runner's own node, and bad input that never takes it down.
The programs are fake scripts in a private bin directory beside a copy of the Runner."""
import json
import os
import shutil
import signal
import socket
import subprocess
import time

import msgpack
import pytest

from kelm_harness import binary, cluster_config, free_port, write_json

FAKE_PROGRAM = r"""#!/bin/sh
# Records how it was run, then acts as its last argument says.
dir=$(dirname "$0")
echo "$KELM_EMUL_HOST|$KELM_EMUL_ROOT|$(basename "$0") $*" >> "$dir/calls.log"
grep -E '^Sig(Blk|Ign)' /proc/$$/status > "$dir/signals.txt"
eval last=\${$#}
case "$last" in
  bad) echo "[t] [I] [1] phase=service : begin"
       echo "[t] [E] [1] FAILED phase=service name=bad exit=13 : service was not found in config"
       exit 13 ;;
  bg)  sleep 60 &
       echo $! > "$dir/bg.pid"
       echo "[t] [I] [1] phase=service : done" ;;
  crash) kill -SEGV $$ ;;
  *)   echo "[t] [I] [1] phase=service : done" ;;
esac
exit 0
"""


def rpc_call(port, method, *params, msgid=1, host="127.0.0.1", timeout=20):
    with socket.create_connection((host, port), timeout=timeout) as s:
        s.sendall(msgpack.packb([0, msgid, method, list(params)]))
        return read_reply(s)


def read_reply(s):
    unp = msgpack.Unpacker(raw=False)
    while True:
        data = s.recv(65536)
        if not data:
            return None
        unp.feed(data)
        for msg in unp:
            return msg


def result(reply):
    assert reply[0] == 1 and reply[2] is None, reply
    assert isinstance(reply[3], str), reply
    return json.loads(reply[3])


@pytest.fixture
def setup(tmp_path, processes):
    """A 3-node configuration and a bin directory with the Runner and fake programs."""
    doc = cluster_config(3)
    config = write_json(tmp_path / "config.json", doc)
    bindir = tmp_path / "bin"
    bindir.mkdir()
    shutil.copy2(binary("kelm-runner"), bindir / "kelm-runner")
    emul = tmp_path / "emul"
    emul.mkdir()

    class Setup:
        pass

    s = Setup()
    s.doc, s.config, s.bindir, s.emul = doc, config, bindir, str(emul)

    def add_programs(*names):
        for name in names:
            p = bindir / name
            p.write_text(FAKE_PROGRAM)
            p.chmod(0o755)

    def start(node_id, extra=None):
        env = {"KELM_EMUL_ROOT": s.emul, "KELM_EMUL_HOST": "not-this-node"}
        p = processes([str(bindir / "kelm-runner"), "-c", config, "-n", str(node_id), "-l", "debug"] + (extra or []),
                      name=f"runner{node_id}", env=env)
        assert p.wait_for("[runner] serving node", timeout=15), p.output() + p.errors()
        return p

    s.add_programs, s.start = add_programs, start
    s.port = lambda node_id: doc["nodes"][node_id - 1]["runner_port"]
    s.host = lambda node_id: doc["nodes"][node_id - 1]["internal_addr"]
    yield s
    pidfile = bindir / "bg.pid"
    if pidfile.exists():
        try:
            os.kill(int(pidfile.read_text()), signal.SIGKILL)
        except (ProcessLookupError, ValueError):
            pass


def test_ping_answers_pong_at_the_nodes_address(setup):
    setup.start(2)
    reply = rpc_call(setup.port(2), "ping", host=setup.host(2))
    assert reply == [1, 1, None, '{"response":"pong"}']
    with socket.create_connection((setup.host(2), setup.port(2)), timeout=10) as s:
        for msgid in (7, 8):  # several calls on one connection
            s.sendall(msgpack.packb([0, msgid, "ping", []]))
            assert read_reply(s)[1] == msgid


def test_service_and_fence_run_the_programs_as_this_node(setup):
    setup.add_programs("poolrun", "nodefence")
    runner = setup.start(2)
    port, host = setup.port(2), setup.host(2)
    assert result(rpc_call(port, "service", '{"cmd":"start","serviceName":"svc1"}', host=host)) == {"response": "ok"}
    assert result(rpc_call(port, "fence-node", '{"cmd":"on","node":3}', host=host)) == {"response": "ok"}
    calls = (setup.bindir / "calls.log").read_text().splitlines()
    assert calls == [f"node2|{setup.emul}|poolrun start {setup.config} svc1",
                     f"node2|{setup.emul}|nodefence fence-on {setup.config} 3"]
    # The Runner blocks the stop signals in its threads; its programs must not inherit that.
    signals = (setup.bindir / "signals.txt").read_text()
    assert "SigBlk:\t0000000000000000" in signals and "SigIgn:\t0000000000000000" in signals

    assert result(rpc_call(port, "service", '{"cmd":"stop","serviceName":"bad"}', host=host)) == {
        "error": "EPROGRAM", "errorMessage": "FAILED phase=service name=bad exit=13 : service was not found in config"}
    assert result(rpc_call(port, "service", '{"cmd":"recovery","serviceName":"crash"}', host=host)) == {
        "error": "EPROGRAM", "errorMessage": "poolrun killed by signal 11"}

    # A background child that keeps the output open does not hold the call.
    t0 = time.monotonic()
    assert result(rpc_call(port, "service", '{"cmd":"start","serviceName":"bg"}', host=host)) == {"response": "ok"}
    assert time.monotonic() - t0 < 10

    assert result(rpc_call(port, "service", '{"cmd":"start","serviceName":"$cluster-management"}', host=host)) == {
        "response": "ok"}
    assert len((setup.bindir / "calls.log").read_text().splitlines()) == 5  # no program for $cluster-management
    out = runner.output()
    assert "[runner] >>> call 'service' data '[\"{\\\"cmd\\\":\\\"start\\\",\\\"serviceName\\\":\\\"svc1\\\"}\"]'" in out
    assert "[runner] <<< call 'service' => '{\"error\":\"EPROGRAM\"" in out


def test_missing_programs_are_a_clear_error(setup):
    setup.start(1)
    assert result(rpc_call(setup.port(1), "service", '{"cmd":"start","serviceName":"s"}'))["error"] == "ENOPROG"
    reply = result(rpc_call(setup.port(1), "fence-node", '{"cmd":"off","node":2}'))
    assert reply == {"error": "ENOPROG", "errorMessage": f"nodefence is not installed: {setup.bindir}/nodefence"}


def test_bad_input_gets_an_error_and_never_stops_the_runner(setup):
    setup.add_programs("poolrun")
    runner = setup.start(1)
    port = setup.port(1)
    assert rpc_call(port, "reboot") == [1, 1, "unknown method 'reboot'", None]
    assert result(rpc_call(port, "service", "not json")) == {"error": "EINVAL",
                                                            "errorMessage": "the argument is not valid JSON"}
    assert result(rpc_call(port, "service", {"cmd": "start"}))["error"] == "EINVAL"
    for garbage in [b"\xc1\xc1\xc1", msgpack.packb("hello"), msgpack.packb([0, 1, 2]), b"\xdd\xff\xff\xff\xff"]:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.sendall(garbage)
            assert read_reply(s) is None  # closed
    assert result(rpc_call(port, "ping")) == {"response": "pong"}
    assert runner.proc.poll() is None
    assert not (setup.bindir / "calls.log").exists()


def test_sigterm_ends_the_runner_with_status_0(setup):
    runner = setup.start(3)
    runner.signal(signal.SIGTERM)
    assert runner.wait(10) == 0
    assert "[runner] exit on signal 15" in runner.output()


def run_runner(setup, args):
    return subprocess.run([str(setup.bindir / "kelm-runner")] + args, capture_output=True, text=True, timeout=30,
                          env=dict(os.environ, KELM_EMUL_ROOT=setup.emul))


def test_start_refusals(setup, tmp_path):
    r = run_runner(setup, ["-c", setup.config, "-n", "9"])
    assert r.returncode == 1 and "[runner] node 9 not found in the configuration" in r.stdout
    r = run_runner(setup, ["-c", str(tmp_path / "missing.json"), "-n", "1"])
    assert r.returncode == 1 and "[runner] can't read configuration" in r.stdout
    r = run_runner(setup, ["-c", setup.config])
    assert r.returncode == 1 and "--node-id" in r.stderr
    with socket.socket() as busy:
        busy.bind((setup.host(1), setup.port(1)))
        busy.listen()
        r = run_runner(setup, ["-c", setup.config, "-n", "1"])
    assert r.returncode == 1 and f"[runner] can't serve at {setup.host(1)}:{setup.port(1)}" in r.stdout


def test_runners_of_several_nodes_share_one_machine(setup):
    setup.add_programs("poolrun")
    for node_id in (1, 3):
        setup.start(node_id)
    for node_id in (3, 1):
        reply = rpc_call(setup.port(node_id), "service", '{"cmd":"stop","serviceName":"s"}', host=setup.host(node_id))
        assert result(reply) == {"response": "ok"}
    hosts = [line.split("|")[0] for line in (setup.bindir / "calls.log").read_text().splitlines()]
    assert hosts == ["node3", "node1"]
