"""poolrun on the emulated platform: a private emulated root with pools made by
kelm-emul-zfs, the configuration file, hook directories, network namespaces, and
the phase lines of each run."""
import json
import os
import re
import subprocess
import uuid

import pytest

from kelm_harness import binary, write_json

LINE = re.compile(r"^\[[^\]]+\] \[(\w)\] \[\d+\] (.*)$")


class Run:
    """One finished poolrun: its status and its lines as (level letter, text)."""

    def __init__(self, argv, proc):
        self.argv = argv
        self.rc = proc.returncode
        self.stdout = proc.stdout
        self.stderr = proc.stderr
        self.lines = []
        self.other = []
        for raw in proc.stdout.splitlines():
            m = LINE.match(raw)
            if m:
                self.lines.append((m.group(1), m.group(2)))
            else:
                self.other.append(raw)

    @property
    def texts(self):
        return [t for _, t in self.lines]

    def having(self, part):
        return [t for t in self.texts if part in t]

    def failed(self):
        return [t for t in self.texts if t.startswith("FAILED")]

    def __repr__(self):
        return f"rc={self.rc} argv={self.argv}\n{self.stdout}\n{self.stderr}"


class Site:
    """A private emulated platform shared by the nodes of one test."""

    def __init__(self, tmp_path):
        self.dir = str(tmp_path)
        self.root = os.path.join(self.dir, "emul")
        os.makedirs(self.root, exist_ok=True)
        self.config_path = os.path.join(self.dir, "config.json")
        self.services = []
        self.write_config()

    # ---- configuration ----
    def write_config(self, nodes=None):
        doc = {"nodes": nodes if nodes is not None else [{"id": 1, "nodename": "node1"},
                                                          {"id": 2, "nodename": "node2"}],
               "services": self.services}
        write_json(self.config_path, doc)

    def service(self, name, pools=(), ext_ips=None, **extra):
        # A text stays a text, to write a mistyped "pools".
        entry = {"name": name, "pools": pools if isinstance(pools, str) else list(pools)}
        if ext_ips is not None:
            entry["ext_ips"] = ext_ips
        entry.update(extra)
        self.services.append(entry)
        self.write_config()

    # ---- emulated pools ----
    def env(self, host):
        e = dict(os.environ)
        e["KELM_EMUL_ROOT"] = self.root
        e["KELM_EMUL_HOST"] = host
        return e

    def emul(self, *args):
        p = subprocess.run([binary("kelm-emul-zfs")] + [a if isinstance(a, str) else json.dumps(a) for a in args],
                           env=self.env("admin"), capture_output=True, text=True, timeout=30)
        assert p.returncode == 0, p.stderr
        return p.stdout

    def pool(self, name, **spec):
        spec["name"] = name
        return self.emul("create", spec)

    def state(self):
        return json.loads(self.emul("show"))

    def pools_named(self, name):
        return [p for p in self.state()["pools"].values() if p["name"] == name]

    def holders(self, name):
        """Hosts that have the pool imported."""
        return sorted(h for p in self.pools_named(name) for h in p["imported_by"])

    def double_imports(self):
        return int(self.emul("double-imports").strip())

    def net_fault(self, call, errno_value):
        """The next address call of that kind (add, delete, list) fails with errno_value."""
        os.makedirs(os.path.join(self.root, "net"), exist_ok=True)
        with open(os.path.join(self.root, "net", f"fail-{call}"), "w") as f:
            f.write(str(errno_value))

    # ---- hooks ----
    def service_hook_dir(self):
        return os.path.join(self.root, "fs/usr/local/libexec/kelm/service.d")

    def pool_hook_dir(self, pool):
        return os.path.join(self.root, f"fs/pools/{pool}/.internal/rc.d")

    def hook_log(self):
        path = os.path.join(self.dir, "hooks.log")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return f.read().splitlines()

    def clear_hook_log(self):
        open(os.path.join(self.dir, "hooks.log"), "w").close()

    def recording_hook(self, directory, name, body=""):
        """A hook that logs "<name> <arg> <pool> <node id> <service>" ("-" when unset)."""
        os.makedirs(directory, exist_ok=True)
        path = os.path.join(directory, name)
        log = os.path.join(self.dir, "hooks.log")
        with open(path, "w") as f:
            f.write("#!/bin/sh\n"
                    'echo "$(basename "$0") $1 ${PELLIX_POOL--} ${PELLIX_NODE_ID--} ${PELLIX_SERVICE--}"'
                    f' >> {log}\n'
                    + body)
        os.chmod(path, 0o755)
        return path

    # ---- runs ----
    def poolrun(self, action, service, host="node1", netns=None, timeout=120, config=True):
        argv = [binary("poolrun"), action] + ([self.config_path] if config else []) + [service]
        prefix = ["ip", "netns", "exec", netns] if netns else []
        p = subprocess.run(prefix + argv, env=self.env(host), capture_output=True, text=True, timeout=timeout)
        return Run(argv, p)


class NetNamespaces:
    """Network namespaces of one test module: made with unique names, joined by veth
    pairs made inside them (never on the host), and always deleted."""

    def __init__(self):
        self.tag = uuid.uuid4().hex[:8]
        self.made = []

    def name(self, short):
        return f"kelm-{self.tag}-{short}"

    def add(self, short):
        ns = self.name(short)
        p = subprocess.run(["ip", "netns", "add", ns], capture_output=True, text=True)
        if p.returncode != 0:
            return None, p.stderr.strip()
        self.made.append(ns)
        self.ip(ns, "link", "set", "lo", "up")
        return ns, ""

    @staticmethod
    def ip(ns, *args):
        p = subprocess.run(["ip", "-n", ns] + list(args), capture_output=True, text=True, timeout=30)
        assert p.returncode == 0, f"ip -n {ns} {' '.join(args)}: {p.stderr}"
        return p.stdout

    def sysctl(self, ns, key, value):
        p = subprocess.run(["ip", "netns", "exec", ns, "sysctl", "-qw", f"{key}={value}"],
                           capture_output=True, text=True, timeout=30)
        assert p.returncode == 0, p.stderr

    def addresses(self, ns, dev=None):
        """The IPv4 addresses shown by "ip -4 addr", as "addr/prefix" texts."""
        args = ["-4", "-o", "addr", "show"] + (["dev", dev] if dev else [])
        out = self.ip(ns, *args)
        return sorted(line.split()[3] for line in out.splitlines() if " inet " in line and "127.0.0.1" not in line)

    def delete_all(self):
        for ns in reversed(self.made):
            subprocess.run(["ip", "netns", "delete", ns], capture_output=True)
        self.made = []


def namespaces_or_skip():
    """Namespaces for a module; the whole run ends with ctest's skip status where they
    are refused (no root, no permission)."""
    if os.geteuid() != 0:
        pytest.exit("network namespaces need root", returncode=77)
    spaces = NetNamespaces()
    ns, why = spaces.add("probe")
    if ns is None:
        pytest.exit(f"network namespaces refused: {why}", returncode=77)
    spaces.delete_all()
    return spaces
