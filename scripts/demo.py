"""Demo driver: a 3-node cluster on 127.0.0.1-3 in a private directory, always cleaned up."""
import os
import signal
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
os.environ["KELM_BIN_DIR"] = sys.argv[1]

import kelm_harness  # noqa: E402


def show(title, lines):
    print(f"\n== {title}")
    for line in lines:
        print("   " + line)


def main():
    with tempfile.TemporaryDirectory(prefix="kelm-demo-") as work:
        cluster = kelm_harness.Cluster(work, kelm_harness.cluster_config(3))
        try:
            print(f"configuration: {cluster.config_path}")
            for node_id in (1, 2, 3):
                cluster.start(node_id, log_level="info")
            for node_id, p in cluster.daemons.items():
                p.wait_for("[main] KELM started", timeout=10)
            time.sleep(1.0)
            for node_id, p in cluster.daemons.items():
                show(f"node {node_id} start-up", p.output().splitlines()[:12])
            for node_id, p in cluster.daemons.items():
                p.signal(signal.SIGTERM)
            for node_id, p in cluster.daemons.items():
                status = p.wait(10)
                show(f"node {node_id} stopped with status {status}", p.output().splitlines()[-3:])
        finally:
            cluster.stop_all()


if __name__ == "__main__":
    main()
