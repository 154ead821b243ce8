"""The test run's AMQP broker: Debian's rabbitmq-server on 127.0.0.1, started once per
ctest run as a fixture and stopped by pid at its end.

    rabbitmq_broker.py start STATE   starts epmd and the broker, waits until the broker
                                     takes logins, writes STATE (JSON); exit 77 when the
                                     broker is not installed, 1 when it does not come up
    rabbitmq_broker.py stop STATE    stops the broker, then epmd, by the pids in STATE

Everything lives beside STATE in the build tree: private mnesia, log and config
directories, a private HOME for the Erlang cookie, and epmd on its own loopback port,
run in the foreground so that its pid is ours. The broker gets a user of its own and
the vhosts in VHOSTS from a definitions file, so tests that leave state behind can
keep it in a vhost of their own.

Scenarios call state_for_tests() to find the broker.
"""
import base64
import hashlib
import json
import os
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from kelm_harness import free_port  # noqa: E402

SERVER = "/usr/lib/rabbitmq/bin/rabbitmq-server"
EPMD_NAMES = ["/usr/bin/epmd", "/usr/lib/erlang/bin/epmd"]
SKIP_STATUS = 77
USER = "kelm"
VHOSTS = ["/", "notify", "notify-conflict"]
NODE_NAME = "kelm-test@localhost"

# The broker needs 5-7 s on an idle machine; a loaded CI machine gets much longer.
READY_TIMEOUT = 120.0
STOP_GRACE = 30.0
START_ATTEMPTS = 3


def log(text):
    print(f"[rabbitmq-fixture] {text}", flush=True)


# ---- processes, identified by pid and start time so a reused pid is never hit ----

def _proc_stat(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            data = f.read()
    except OSError:
        return None
    fields = data[data.rindex(")") + 2:].split()
    return {"state": fields[0], "pgrp": int(fields[2]), "start": int(fields[19])}


def proc_start_time(pid):
    st = _proc_stat(pid)
    return st["start"] if st else None


def alive(pid, start):
    """True while the process runs (a zombie no longer counts) and is the one we started."""
    st = _proc_stat(pid)
    return st is not None and st["start"] == start and st["state"] not in ("Z", "X")


def group_alive(pgid):
    """True while some live process is in the process group."""
    for name in os.listdir("/proc"):
        if name.isdigit():
            st = _proc_stat(int(name))
            if st and st["pgrp"] == pgid and st["state"] not in ("Z", "X"):
                return True
    return False


def _wait(predicate, timeout, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def _signal(pid, signo):
    try:
        os.kill(pid, signo)
    except ProcessLookupError:
        pass


def _signal_group(pgid, signo):
    try:
        os.killpg(pgid, signo)
    except ProcessLookupError:
        pass


def stop_broker(entry):
    """Stops the broker wrapper and the Erlang VM in its process group (its own session)."""
    pid, start = entry["pid"], entry["start"]
    # The group exists only while we started it: its id is the wrapper's pid,
    # which the kernel does not hand out again while the group has members.
    if alive(pid, start):
        _signal(pid, signal.SIGTERM)  # the wrapper passes it on to the VM and waits for it
    elif group_alive(pid):
        _signal_group(pid, signal.SIGTERM)  # the wrapper is gone but the VM is not
    if group_alive(pid) and not _wait(lambda: not group_alive(pid), STOP_GRACE):
        log(f"broker group {pid} still running after {STOP_GRACE:.0f} s: SIGKILL")
        _signal_group(pid, signal.SIGKILL)
        _wait(lambda: not group_alive(pid), 10)


def stop_epmd(entry):
    pid, start = entry["pid"], entry["start"]
    if alive(pid, start):
        _signal(pid, signal.SIGTERM)
        if not _wait(lambda: not alive(pid, start), 5):
            _signal(pid, signal.SIGKILL)
            _wait(lambda: not alive(pid, start), 5)


def stop_from_state(state):
    if state.get("broker"):
        stop_broker(state["broker"])
    if state.get("epmd"):
        stop_epmd(state["epmd"])


# ---- state file ----

def write_state(path, state):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        json.dump(state, f, indent=1)
    os.replace(tmp, path)


def read_state(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


# ---- broker set-up ----

def password_hash(password):
    """The broker's default scheme (SHA-256 with a 4-byte salt), for the definitions file."""
    salt = os.urandom(4)
    return base64.b64encode(salt + hashlib.sha256(salt + password.encode()).digest()).decode()


def write_files(run_dir, amqp_port, password):
    cfg = os.path.join(run_dir, "config")
    for d in ("config", "home", "mnesia", "log"):
        os.makedirs(os.path.join(run_dir, d))
    definitions = {
        "users": [{"name": USER, "password_hash": password_hash(password),
                   "hashing_algorithm": "rabbit_password_hashing_sha256", "tags": ["administrator"]}],
        "vhosts": [{"name": v} for v in VHOSTS],
        "permissions": [{"user": USER, "vhost": v, "configure": ".*", "write": ".*", "read": ".*"} for v in VHOSTS],
    }
    with open(os.path.join(cfg, "definitions.json"), "w") as f:
        json.dump(definitions, f)
    with open(os.path.join(cfg, "rabbitmq.conf"), "w") as f:
        f.write(f"listeners.tcp.1 = 127.0.0.1:{amqp_port}\n"
                "loopback_users = none\n"
                "definitions.import_backend = local_filesystem\n"
                f"definitions.local.path = {cfg}/definitions.json\n"
                "log.file.level = info\n")
    with open(os.path.join(cfg, "enabled_plugins"), "w") as f:
        f.write("[].\n")


def broker_env(run_dir, ports):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("RABBITMQ_", "ERL_")) and k != "NOTIFY_SOCKET"}
    cfg = os.path.join(run_dir, "config")
    env.update({
        "HOME": os.path.join(run_dir, "home"),
        "ERL_EPMD_PORT": str(ports["epmd"]),
        "ERL_EPMD_ADDRESS": "127.0.0.1",
        "ERL_CRASH_DUMP": os.path.join(run_dir, "log", "erl_crash.dump"),
        "RABBITMQ_NODENAME": NODE_NAME,
        # Set explicitly: the default (AMQP port + 20000) overflows for high ports.
        "RABBITMQ_DIST_PORT": str(ports["dist"]),
        "RABBITMQ_MNESIA_BASE": os.path.join(run_dir, "mnesia"),
        "RABBITMQ_LOG_BASE": os.path.join(run_dir, "log"),
        "RABBITMQ_CONFIG_FILE": os.path.join(cfg, "rabbitmq.conf"),
        "RABBITMQ_ADVANCED_CONFIG_FILE": os.path.join(cfg, "advanced.config"),
        "RABBITMQ_CONF_ENV_FILE": os.path.join(cfg, "rabbitmq-env.conf"),
        "RABBITMQ_ENABLED_PLUGINS_FILE": os.path.join(cfg, "enabled_plugins"),
        "RABBITMQ_SERVER_ADDITIONAL_ERL_ARGS": "-start_epmd false -kernel inet_dist_use_interface {127,0,0,1}",
    })
    return env


def spawn(argv, run_dir, name, env=None):
    with open(os.path.join(run_dir, "log", f"{name}.out"), "wb") as out:
        p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                             cwd=run_dir, env=env, start_new_session=True)
    start = None
    for _ in range(50):
        start = proc_start_time(p.pid)
        if start is not None:
            break
        time.sleep(0.01)
    return {"pid": p.pid, "start": start}


def port_open(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


def try_login(port, password, vhost):
    import pika
    params = pika.ConnectionParameters("127.0.0.1", port, vhost, pika.PlainCredentials(USER, password),
                                       connection_attempts=1, socket_timeout=5, blocked_connection_timeout=5)
    try:
        pika.BlockingConnection(params).close()
        return True
    except Exception:
        return False


def tail(path, lines=30):
    try:
        with open(path, errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except OSError:
        return ""


def start_once(run_dir, state_path):
    """One attempt on fresh ports; returns the state, or None after stopping what it started."""
    shutil.rmtree(run_dir, ignore_errors=True)
    os.makedirs(run_dir)
    ports = {"amqp": free_port(), "dist": free_port(), "epmd": free_port()}
    password = secrets.token_hex(12)
    write_files(run_dir, ports["amqp"], password)
    state = {"ready": False, "host": "127.0.0.1", "port": ports["amqp"], "ports": ports, "user": USER,
             "password": password, "vhosts": VHOSTS, "dir": run_dir}
    epmd = next(p for p in EPMD_NAMES if os.access(p, os.X_OK))
    state["epmd"] = spawn([epmd, "-port", str(ports["epmd"]), "-address", "127.0.0.1"], run_dir, "epmd")
    write_state(state_path, state)
    if not _wait(lambda: port_open(ports["epmd"]) or not alive(**state["epmd"]), 10):
        log("epmd did not listen within 10 s")
    if not alive(**state["epmd"]):
        log("epmd ended at once:\n" + tail(os.path.join(run_dir, "log", "epmd.out")))
        stop_from_state(state)
        return None
    state["broker"] = spawn([SERVER], run_dir, "broker", env=broker_env(run_dir, ports))
    write_state(state_path, state)

    began = time.monotonic()
    ready = _wait(lambda: not alive(**state["broker"]) or
                  (port_open(ports["amqp"]) and try_login(ports["amqp"], password, VHOSTS[-1])),
                  READY_TIMEOUT, step=0.25)
    if ready and alive(**state["broker"]):
        state["ready"] = True
        state["start_seconds"] = round(time.monotonic() - began, 2)
        write_state(state_path, state)
        return state
    why = "ended" if not alive(**state["broker"]) else f"took no login within {READY_TIMEOUT:.0f} s"
    log(f"broker {why}; its output:\n" + tail(os.path.join(run_dir, "log", "broker.out")) +
        "\nits log:\n" + tail(os.path.join(run_dir, "log", f"{NODE_NAME}.log")))
    stop_from_state(state)
    state["broker"] = state["epmd"] = None
    write_state(state_path, state)
    return None


def start(state_path):
    state_path = os.path.abspath(state_path)
    base = os.path.dirname(state_path)
    os.makedirs(base, exist_ok=True)
    old = read_state(state_path)
    if old:
        # A run that was cut short (ctest killed) may have left its broker behind.
        stop_from_state(old)
        os.unlink(state_path)
    if not os.access(SERVER, os.X_OK) or not any(os.access(p, os.X_OK) for p in EPMD_NAMES):
        write_state(state_path, {"skip": f"{SERVER} or epmd is not installed"})
        log("rabbitmq-server is not installed: skipping")
        return SKIP_STATUS
    for attempt in range(1, START_ATTEMPTS + 1):
        try:
            state = start_once(os.path.join(base, "run"), state_path)
        except BaseException:
            st = read_state(state_path)
            if st:
                stop_from_state(st)
            raise
        if state:
            log(f"broker ready on 127.0.0.1:{state['port']} after {state['start_seconds']} s "
                f"(broker pid {state['broker']['pid']}, epmd pid {state['epmd']['pid']})")
            return 0
        log(f"attempt {attempt} failed")
    return 1


def stop(state_path):
    state = read_state(state_path)
    if not state or "skip" in state:
        return 0
    began = time.monotonic()
    stop_from_state(state)
    state["ready"] = False
    state["broker"] = state["epmd"] = None
    write_state(state_path, state)
    log(f"broker and epmd stopped in {time.monotonic() - began:.1f} s")
    return 0


def state_for_tests():
    """The running broker's state for a scenario; ends the pytest run with the skip
    status when the fixture found no broker installed."""
    import pytest
    path = os.environ.get("KELM_BROKER_STATE")
    state = read_state(path) if path else None
    if state and "skip" in state:
        pytest.exit(state["skip"], returncode=SKIP_STATUS)
    if not state or not state.get("ready"):
        raise RuntimeError(f"no running broker in {path!r}: run the scenario through ctest, "
                           "whose fixture starts it")
    return state


def main(argv):
    if len(argv) != 3 or argv[1] not in ("start", "stop"):
        print(__doc__, file=sys.stderr)
        return 2
    # Cleanup must still happen when ctest stops us at the time-out.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    return start(argv[2]) if argv[1] == "start" else stop(argv[2])


if __name__ == "__main__":
    sys.exit(main(sys.argv))
