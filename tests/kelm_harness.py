"""Scenario harness: free ports, cluster configurations on loopback, daemons that
are always stopped (SIGTERM, then SIGKILL after a grace period), and their output."""
import json
import os
import random
import signal
import socket
import subprocess
import time

BIN_DIR = os.environ.get("KELM_BIN_DIR", os.path.join(os.path.dirname(__file__), "..", "build", "bin"))


def binary(name):
    return os.path.join(BIN_DIR, name)


_used_ports = set()
_PORT_CLAIMS = os.path.join(os.environ.get("TMPDIR", "/tmp"), "kelm-scenario-ports")


def _port_range():
    """Ports below the kernel's ephemeral range: a port taken from that range can be
    taken again, while a daemon or Runner of ours is down between a kill and a restart,
    by any process's outgoing connection, and the restart then fails to bind."""
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            low = int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        low = 32768
    top = min(low, 65536) - 1
    return (10000, top) if top > 12000 else (low + 1000, 65000)


def _pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        pass
    return True


def _claim(port):
    """Claims a port for this process among every scenario running on the machine
    (ctest runs them in parallel): one file per port holding the claimer's pid; the
    claim of a process that is gone is taken over."""
    os.makedirs(_PORT_CLAIMS, exist_ok=True)
    path = os.path.join(_PORT_CLAIMS, str(port))
    for _ in range(2):
        try:
            fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        except FileExistsError:
            try:
                with open(path) as f:
                    owner = int(f.read().strip() or "0")
            except (OSError, ValueError):
                return False
            if owner and (owner == os.getpid() or _pid_alive(owner)):
                return False
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass
            continue
        with os.fdopen(fd, "w") as f:
            f.write(str(os.getpid()))
        return True
    return False


def free_port():
    """A port free for both UDP and TCP on 127.0.0.1, outside the ephemeral range,
    never handed out twice while the process that got it lives."""
    low, high = _port_range()
    for _ in range(2000):
        port = random.randint(low, high)
        if port in _used_ports:
            continue
        try:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u:
                u.bind(("127.0.0.1", port))
            with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as t:
                t.bind(("127.0.0.1", port))
        except OSError:
            continue
        if not _claim(port):
            continue
        _used_ports.add(port)
        return port
    raise RuntimeError("no free port")


def node_entry(i, **extra):
    e = {
        "id": i,
        "nodename": f"node{i}",
        "internal_addr": f"127.0.0.{i}",
        "kelm_port": free_port(),
        "runner_port": free_port(),
    }
    e.update(extra)
    return e


def cluster_config(n, ids=None, **top):
    """n nodes numbered 1..n, or the given ids (node i on 127.0.0.i)."""
    ids = list(ids) if ids is not None else list(range(1, n + 1))
    doc = {"cluster": {"mgmt-url": f"tcp://127.0.0.1:{free_port()}"}, "nodes": [node_entry(i) for i in ids]}
    doc.update(top)
    return doc


def write_json(path, doc):
    with open(path, "w") as f:
        if isinstance(doc, str):
            f.write(doc)
        else:
            json.dump(doc, f, indent=1)
    return str(path)


class Process:
    """A started program whose output goes to a file; stop() always leaves it dead."""

    def __init__(self, argv, workdir, name, env=None, prefix=None):
        self.name = name
        self.out_path = os.path.join(workdir, f"{name}.out")
        self.err_path = os.path.join(workdir, f"{name}.err")
        full_env = dict(os.environ)
        full_env.update(env or {})
        self._out = open(self.out_path, "wb")
        self._err = open(self.err_path, "wb")
        self.proc = subprocess.Popen((prefix or []) + argv, stdout=self._out, stderr=self._err,
                                     stdin=subprocess.DEVNULL, env=full_env, start_new_session=True)

    @property
    def pid(self):
        return self.proc.pid

    def output(self):
        with open(self.out_path, "rb") as f:
            return f.read().decode(errors="replace")

    def errors(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode(errors="replace")

    def wait_for(self, text, timeout=15.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.output():
                return True
            if self.proc.poll() is not None:
                return text in self.output()
            time.sleep(0.05)
        return False

    def signal(self, signo):
        if self.proc.poll() is None:
            self.proc.send_signal(signo)

    def wait(self, timeout=10.0):
        return self.proc.wait(timeout=timeout)

    def stop(self, grace=5.0):
        if self.proc.poll() is None:
            try:
                self.proc.send_signal(signal.SIGTERM)
                self.proc.wait(timeout=grace)
            except subprocess.TimeoutExpired:
                pass
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait(timeout=10)
        self._out.close()
        self._err.close()
        return self.proc.returncode


class Cluster:
    """N daemons on 127.0.0.1..N sharing one configuration and one emulated platform."""

    def __init__(self, workdir, doc):
        self.workdir = str(workdir)
        self.doc = doc
        self.config_path = write_json(os.path.join(self.workdir, "config.json"), doc)
        self.emul_root = os.path.join(self.workdir, "emul")
        os.makedirs(self.emul_root, exist_ok=True)
        self.daemons = {}
        self.processes = []

    def env_for(self, node_id):
        return {"KELM_EMUL_ROOT": self.emul_root, "KELM_EMUL_HOST": f"node{node_id}"}

    def db_path(self, node_id):
        return os.path.join(self.workdir, f"kelm{node_id}.db")

    def start(self, node_id, extra=None, log_level="debug", prefix=None, env=None):
        argv = [binary("kelm"), "-c", self.config_path, "-s", self.db_path(node_id), "-n", str(node_id), "-l", log_level]
        e = self.env_for(node_id)
        e.update(env or {})
        p = Process(argv + (extra or []), self.workdir, f"kelm{node_id}-{len(self.processes)}", env=e, prefix=prefix)
        self.daemons[node_id] = p
        self.processes.append(p)
        return p

    def stop_all(self):
        for p in self.processes:
            p.stop()
