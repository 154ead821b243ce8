"""Running 099.notify in a scenario: its INI file under a private emulated root and
its environment."""
import os
import subprocess

from kelm_harness import binary

CONFIG = "usr/local/etc/pellix-storage.config"


class Hook:
    def __init__(self, tmp_path):
        self.root = tmp_path / "emul"
        self.config = self.root / "fs" / CONFIG
        self.config.parent.mkdir(parents=True, exist_ok=True)

    def write_config(self, text):
        self.config.write_bytes(text.encode() if isinstance(text, str) else text)

    def run(self, *args, pool="tank", node_id="2", env=None, timeout=30):
        e = {k: v for k, v in os.environ.items() if not k.startswith("PELLIX_")}
        e["KELM_EMUL_ROOT"] = str(self.root)
        if pool is not None:
            e["PELLIX_POOL"] = pool
        if node_id is not None:
            e["PELLIX_NODE_ID"] = node_id
        e.update(env or {})
        return subprocess.run([binary("099.notify"), *args], capture_output=True, text=True, env=e, timeout=timeout)


def amqp_config(host="127.0.0.1", port=None, vhost=None, timeout=None, heartbeat=None, user=None, password=None):
    lines = ["[AMQP]", f"Host = {host}"]
    for key, value in (("Port", port), ("Vhost", vhost), ("Timeout", timeout), ("Heartbeat", heartbeat)):
        if value is not None:
            lines.append(f"{key} = {value}")
    lines.append("[Event]")
    for key, value in (("User", user), ("Password", password)):
        if value is not None:
            lines.append(f"{key} = {value}")
    return "\n".join(lines) + "\n"
