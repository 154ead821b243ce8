"""Daemon start-up: refusals, own-node selection, stop signals and the syslog identity."""
import json
import os
import shutil
import signal
import socket
import subprocess
import threading
import time

import pytest

from kelm_harness import binary, cluster_config, write_json

EMUL = {"KELM_EMUL_HOST": "node1"}


def run_kelm(args, tmp_path, env=None, timeout=20):
    e = dict(os.environ)
    e["KELM_EMUL_ROOT"] = str(tmp_path / "emul")
    e.update(env or EMUL)
    return subprocess.run([binary("kelm")] + args, capture_output=True, text=True, timeout=timeout, env=e)


def test_help_lists_every_option(tmp_path):
    r = run_kelm(["--help"], tmp_path)
    assert r.returncode == 0
    for text in ["-c", "--configuration-file", "CONFIG_FILE", "-s", "--db-file", "DB_FILE", "-n", "--node-id",
                 "NODE_ID", "-l", "trace|debug|info|warning|error|critical", "-t", "--transport",
                 "Display this help menu", "/var/db/kelm.db"]:
        assert text in r.stdout


@pytest.mark.parametrize("args", [["--bogus"], ["-c"], ["-n", "abc"], ["stray"]])
def test_command_line_errors_give_status_1_and_the_summary(tmp_path, args):
    r = run_kelm(args, tmp_path)
    assert r.returncode == 1
    assert "--configuration-file" in r.stderr
    assert r.stdout == ""


@pytest.mark.parametrize("level", ["off", "bogus"])
def test_wrong_log_level(tmp_path, level):
    r = run_kelm(["-l", level], tmp_path)
    assert r.returncode == 1
    assert r.stderr.startswith("Wrong log level\n")
    assert "--configuration-file" in r.stderr


def base_doc():
    return cluster_config(3)


def variants():
    def v(name, mutate, expect):
        return pytest.param(mutate, expect, id=name)

    def set_nodes(nodes):
        return lambda d: d.__setitem__("nodes", nodes(d))

    return [
        v("missing-file", None, "[main] [json.exception.parse_error.101]"),
        v("top-level-array", lambda d: "[1,2]", "[main] [json.exception.type_error"),
        v("no-nodes", lambda d: {"cluster": {}}, "[main] node to start not found"),
        v("empty-addr", lambda d: (d["nodes"][0].__setitem__("internal_addr", ""), d)[1], "[main] node to start not found"),
        v("id-64-by-name", lambda d: (d["nodes"][0].__setitem__("id", 64), d)[1], "[main] node to start not found"),
        v("id-as-string", lambda d: (d["nodes"][0].__setitem__("id", "1"), d)[1], "[main] [json.exception.type_error.302]"),
        v("missing-kelm-port", lambda d: (d["nodes"][0].pop("kelm_port"), d)[1], "[main] [json.exception.out_of_range.403]"),
        v("two-matching", lambda d: (d["nodes"][1].__setitem__("nodename", "node1"), d)[1], "[main] more than one entry"),
        v("duplicate-ids", lambda d: (d["nodes"][2].__setitem__("id", 2), d)[1], "[main] duplicate node id 2"),
        v("id-true", lambda d: (d["nodes"][2].__setitem__("id", True), d)[1], '"id" must be an integer'),
        # Mistyped or fractional values: one "[main]" line naming the key, never a
        # silent default, a cut value or an undefined conversion.
        v("self-fencing-text", lambda d: (d["cluster"].__setitem__("self_fencing", "true"), d)[1],
          '[main] [json.exception.type_error.302] "self_fencing" must be a boolean'),
        v("leadership-text", lambda d: (d["nodes"][1].__setitem__("leadership_disabled", "yes"), d)[1],
          '"leadership_disabled" must be a boolean'),
        v("leadership-text-object",
          lambda d: (d["nodes"][1].__setitem__("leadership_disabled", 1),
                     d.__setitem__("nodes", {str(i): n for i, n in enumerate(d["nodes"])}), d)[2],
          '"leadership_disabled" must be a boolean'),
        v("id-1e10", lambda d: (d["nodes"][2].__setitem__("id", 1e10), d)[1], '"id" must be an integer'),
        v("runner-port-1e12", lambda d: (d["nodes"][1].__setitem__("runner_port", 1e12), d)[1],
          '"runner_port" must be an integer'),
        v("kelm-port-fraction", lambda d: (d["nodes"][0].__setitem__("kelm_port", 47031.9), d)[1],
          '"kelm_port" must be an integer'),
        v("id-out-of-range", lambda d: (d["nodes"][2].__setitem__("id", 70), d)[1], "[main] node id 70 out of range"),
        v("ha-three-nodes", lambda d: (d.__setitem__("ha", {"disks": ["da0"]}), d)[1],
          "[main] HA needs node ids 1 and 2 and at least one disk"),
        v("ha-pair-no-disks", lambda d: (d.__setitem__("nodes", d["nodes"][:2]), d.__setitem__("ha", {"disks": []}), d)[2],
          "[main] HA needs node ids 1 and 2 and at least one disk"),
        v("disks-number", lambda d: (d.__setitem__("ha", {"disks": 5}), d)[1], "[main] [json.exception.type_error"),
        v("flap-threshold-huge-float", lambda d: (d.__setitem__("ha", {"flap_threshold": 3e50}), d)[1],
          "[main] Bad ha.flap_threshold: 3e+50"),
        v("flap-window-too-long", lambda d: (d.__setitem__("ha", {"flap_window_sec": 9223372037}), d)[1],
          "[main] Bad ha.flap_window_sec: 9223372037"),
    ]


@pytest.mark.parametrize("mutate,expect", variants())
def test_configuration_refusals(tmp_path, mutate, expect):
    path = tmp_path / "config.json"
    if mutate is not None:
        doc = mutate(base_doc())
        write_json(path, doc if isinstance(doc, str) else json.dumps(doc))
    r = run_kelm(["-c", str(path), "-s", str(tmp_path / "db")], tmp_path)
    assert r.returncode == 1, r.stdout
    assert expect in r.stdout, r.stdout
    assert len([line for line in r.stdout.splitlines() if "[main] [json" in line]) <= 1, r.stdout


def test_refusals_say_which_file_node_and_address(cluster_factory, tmp_path):
    # Each bare text stays, and one line before it says what it is about.
    missing = str(tmp_path / "nowhere.json")
    r = run_kelm(["-c", missing, "-s", str(tmp_path / "db")], tmp_path)
    assert r.returncode == 1
    out = r.stdout
    assert f"[main] can't read configuration file '{missing}': No such file or directory" in out, out
    assert out.index("can't read configuration file") < out.index("unexpected end of input"), out

    c = cluster_factory(3)
    r = run_kelm(["-c", c.config_path, "-s", str(tmp_path / "db"), "-n", "7"], tmp_path,
                 env={"KELM_EMUL_HOST": "elsewhere"})
    assert r.returncode == 1
    out = r.stdout
    assert ("[main] node id 7 and host name 'elsewhere' match no usable entry of \"nodes\" in "
            f"'{c.config_path}'; configured: 1 (node1), 2 (node2), 3 (node3)") in out, out
    assert out.index("match no usable entry") < out.index("[main] node to start not found"), out

    first = c.start(1)
    assert first.wait_for("[srv 127.0.0.1:")
    port = c.doc["nodes"][0]["kelm_port"]
    r = run_kelm(["-c", c.config_path, "-s", str(tmp_path / "db2"), "-n", "1"], tmp_path,
                 env={"KELM_EMUL_HOST": "node1"})
    assert r.returncode == 1
    assert f"can't bind 127.0.0.1:{port}: Address already in use" in r.stdout, r.stdout
    assert "can't bind" in r.stderr, r.stderr
    first.signal(signal.SIGTERM)
    assert first.wait(10) == 0


def test_node_found_by_id_option(cluster_factory):
    c = cluster_factory(3)
    p = c.start(2, env={"KELM_EMUL_HOST": "elsewhere"})
    assert p.wait_for("[main] KELM started")
    assert p.wait_for("[srv 127.0.0.2:")
    p.signal(signal.SIGTERM)
    assert p.wait(10) == 0


def test_nodes_as_object_in_lexical_key_order(cluster_factory):
    doc = cluster_config(2)
    n1, n2 = doc["nodes"]
    doc["nodes"] = {"b": n1, "a": n2}
    c = cluster_factory(doc=doc)
    p = c.start(1)
    assert p.wait_for("[main] KELM started")
    time.sleep(0.5)
    out = p.output()
    assert out.index("ID: 2 Nodename: node2") < out.index("ID: 1 Nodename: node1")
    p.signal(signal.SIGTERM)
    assert p.wait(10) == 0


def unshare_works():
    if shutil.which("unshare") is None or os.geteuid() != 0:
        return False
    return subprocess.run(["unshare", "--uts", "--mount", "true"], capture_output=True).returncode == 0


needs_namespaces = pytest.mark.skipif(not unshare_works(), reason="needs root and unshare")


@needs_namespaces
def test_own_node_by_real_host_name_in_uts_namespace(cluster_factory):
    c = cluster_factory(3)
    # -n names no element: the node is found by host name and its id taken from the element.
    argv = ["unshare", "--uts", "sh", "-c",
            f'hostname node3 && exec {binary("kelm")} -c {c.config_path} -s {c.db_path(3)} -n 40']
    env = {"KELM_EMUL_HOST": ""}
    from kelm_harness import Process
    p = Process(argv, c.workdir, "uts", env=env)
    c.processes.append(p)
    assert p.wait_for("[srv 127.0.0.3:")
    p.signal(signal.SIGTERM)
    assert p.wait(10) == 0


def test_sigterm_without_leader_exits_0(cluster_factory):
    c = cluster_factory(3)
    p = c.start(1)
    assert p.wait_for("[main] KELM started")
    time.sleep(0.3)
    p.signal(signal.SIGTERM)
    assert p.wait(10) == 0
    out = p.output()
    assert "[monitor] Leader not found, exit immediately" in out
    assert "[main] KELM exit" in out


def test_burst_of_signals_never_gives_status_1(cluster_factory):
    c = cluster_factory(3)
    p = c.start(1)
    assert p.wait_for("[main] KELM started")
    for sig in [signal.SIGINT, signal.SIGTERM, signal.SIGQUIT] * 10:
        try:
            os.kill(p.pid, sig)
        except ProcessLookupError:
            break
    assert p.wait(10) == 0


def test_transport_option_warns_on_stdout_only(cluster_factory):
    c = cluster_factory(3)
    p = c.start(1, extra=["-t", "tcp"])
    assert p.wait_for("[main] KELM started")
    p.signal(signal.SIGTERM)
    assert p.wait(10) == 0
    assert "--transport is deprecated and ignored; Raft transport is always UDP" in p.output()
    assert "deprecated" not in p.errors()


@needs_namespaces
def test_syslog_ident_switches_to_node_id(cluster_factory, tmp_path):
    c = cluster_factory(3)
    sock_path = str(tmp_path / "log.sock")
    rx = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    rx.bind(sock_path)
    rx.settimeout(0.2)
    lines = []
    done = threading.Event()

    def drain():  # a unix datagram queue holds only a few lines: read while the daemon logs
        while not done.is_set():
            try:
                lines.append(rx.recv(4096).decode(errors="replace"))
            except socket.timeout:
                pass

    reader = threading.Thread(target=drain)
    reader.start()
    devdir = tmp_path / "dev"
    devdir.mkdir()
    binds = []
    for n in ["null", "zero", "random", "urandom"]:
        (devdir / n).touch()
        binds.append(f"mount --bind /dev/{n} {devdir}/{n}")
    (devdir / "log").touch()
    binds.append(f"mount --bind {sock_path} {devdir}/log")
    binds.append(f"mount --rbind {devdir} /dev")
    script = " && ".join(binds) + f" && exec {binary('kelm')} -c {c.config_path} -s {c.db_path(2)} -n 2"
    from kelm_harness import Process
    p = Process(["unshare", "--mount", "sh", "-c", script], c.workdir, "syslog", env=c.env_for(2))
    c.processes.append(p)
    try:
        assert p.wait_for("[main] KELM started")
        time.sleep(0.5)
        p.signal(signal.SIGTERM)
        assert p.wait(10) == 0
        time.sleep(0.3)
    finally:
        done.set()
        reader.join()
        rx.close()
    started = [l for l in lines if "KELM started" in l]
    exited = [l for l in lines if "KELM exit" in l]
    assert started and " kelm: " in started[0] and started[0].startswith("<134>"), lines
    assert exited and " kelm/2: " in exited[0], lines
