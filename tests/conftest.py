"""pytest fixtures shared by every scenario."""
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import kelm_harness  # noqa: E402


@pytest.fixture
def cluster_factory(tmp_path):
    made = []

    def make(n=3, doc=None, **top):
        c = kelm_harness.Cluster(tmp_path, doc if doc is not None else kelm_harness.cluster_config(n, **top))
        made.append(c)
        return c

    yield make
    for c in made:
        c.stop_all()


@pytest.fixture
def processes(tmp_path):
    """Starts programs that are always stopped at the end of the test."""
    started = []

    def start(argv, name="proc", env=None, prefix=None):
        p = kelm_harness.Process(argv, str(tmp_path), f"{name}-{len(started)}", env=env, prefix=prefix)
        started.append(p)
        return p

    yield start
    for p in started:
        p.stop()
