"""A UDP relay between the daemons of a loopback cluster, for partitions: every
daemon gets its own configuration in which the other nodes' Raft ports are relay
ports, and the relay forwards each datagram to the real port unless the two nodes
are on different sides of the current cut."""
import copy
import os
import selectors
import socket
import threading

import kelm_harness


class Relay:
    def __init__(self, doc):
        self.doc = doc
        self.real = {n["id"]: (n["internal_addr"], n["kelm_port"]) for n in doc["nodes"]}
        self.cut = frozenset()  # node ids cut off from the rest
        self.dropped = 0
        self.sel = selectors.DefaultSelector()
        self.socks = []
        self.relay_port = {}  # (sender, addressee) -> relay port
        for i in self.real:
            for j in self.real:
                if i == j:
                    continue
                port = kelm_harness.free_port()
                s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                s.bind(("127.0.0.1", port))
                s.setblocking(False)
                self.sel.register(s, selectors.EVENT_READ, (i, j))
                self.socks.append(s)
                self.relay_port[(i, j)] = port
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)

    def config_for(self, node_id):
        """Node node_id's view: its own port as it is, the others' through the relay."""
        doc = copy.deepcopy(self.doc)
        for n in doc["nodes"]:
            if n["id"] != node_id:
                n["internal_addr"] = "127.0.0.1"
                n["kelm_port"] = self.relay_port[(node_id, n["id"])]
        return doc

    def write_configs(self, workdir):
        return {i: kelm_harness.write_json(os.path.join(workdir, f"config{i}.json"), self.config_for(i))
                for i in self.real}

    def start(self):
        self._thread.start()
        return self

    def _run(self):
        while not self._stop:
            for key, _ in self.sel.select(timeout=0.1):
                i, j = key.data
                try:
                    data = key.fileobj.recv(2048)
                except OSError:
                    continue
                if (i in self.cut) != (j in self.cut):
                    self.dropped += 1
                    continue
                try:
                    key.fileobj.sendto(data, self.real[j])
                except OSError:
                    pass

    def stop(self):
        self._stop = True
        if self._thread.is_alive():
            self._thread.join(5)
        for s in self.socks:
            self.sel.unregister(s)
            s.close()
