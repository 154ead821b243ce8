"""scripts/raft-soak sums its workers' summary lines and fails on violations, and
on a worker that crashes or ends without its summary, whatever the counts say.
The workers are stand-in scripts chosen through KELM_SIM_SOAK."""
import os
import subprocess

import pytest

SOAK = os.path.join(os.environ.get("KELM_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..")),
                    "scripts", "raft-soak")

# The worker sees --seed FIRST --count N; "$2" is its first seed.
WORKERS = {
    "clean": 'echo "simulator: seeds=$4 violations=0"',
    "violations": 'echo "simulator: seeds=$4 violations=2"; exit 1',
    "abort_in_one": '[ "$2" = 1 ] && kill -ABRT $$; echo "simulator: seeds=$4 violations=0"',
    "abort_after_summary": 'echo "simulator: seeds=$4 violations=0"; kill -ABRT $$',
    "silent_exit": 'exit 0',
}


@pytest.mark.parametrize("worker,ok,crashed", [
    ("clean", True, 0),
    ("violations", False, 0),
    ("abort_in_one", False, 1),
    ("abort_after_summary", False, 2),
    ("silent_exit", False, 2),
])
def test_soak_verdict(tmp_path, worker, ok, crashed):
    stub = tmp_path / "worker"
    stub.write_text("#!/bin/sh\n" + WORKERS[worker] + "\n")
    stub.chmod(0o755)
    env = dict(os.environ, KELM_SIM_SOAK=str(stub))
    r = subprocess.run([SOAK, "10", "1", "2"], env=env, capture_output=True, text=True, timeout=60)
    assert (r.returncode == 0) == ok, r.stdout + r.stderr
    summary = r.stdout.strip().splitlines()[-1]
    assert summary.startswith("simulator: seeds=10 ")
    assert summary.endswith(f"crashed-workers={crashed}")
    assert r.stderr.count("crashed: exit status") == crashed


def run_soak(tmp_path, body, *args):
    stub = tmp_path / "worker"
    stub.write_text("#!/bin/sh\n" + body + "\n")
    stub.chmod(0o755)
    env = dict(os.environ, KELM_SIM_SOAK=str(stub))
    return subprocess.run([SOAK, *args], env=env, capture_output=True, text=True, timeout=60)


def test_pairs_mode_passes_the_flag_and_sums_the_seeds_with_a_rewind(tmp_path):
    # The worker sees --seed FIRST --count N --pairs.
    body = ('[ "$5" = --pairs ] || exit 3\n'
            'echo "pairs: seeds=$4 with a node that dropped withdrawn entries and followed again: 2"\n'
            'echo "simulator: seeds=$4 violations=0"')
    r = run_soak(tmp_path, body, "10", "1", "2", "pairs")
    assert r.returncode == 0, r.stdout + r.stderr
    lines = r.stdout.strip().splitlines()
    assert lines[-2] == "pairs: seeds=10 with a node that dropped withdrawn entries and followed again: 4"
    assert lines[-1] == "simulator: seeds=10 violations=0 crashed-workers=0"


def test_an_unknown_mode_is_refused_before_any_worker_runs(tmp_path):
    marker = tmp_path / "ran"
    r = run_soak(tmp_path, f"touch {marker}", "10", "1", "2", "pair")
    assert r.returncode == 12
    assert "MODE must be clusters or pairs, not 'pair'" in r.stderr
    assert not marker.exists()


# ---- scripts/explore: a soak from a random first seed, printed before the run ----
EXPLORE = os.path.join(os.path.dirname(SOAK), "explore")


def run_explore(tmp_path, body, *args, seed=None):
    stub = tmp_path / "soak"
    stub.write_text("#!/bin/sh\n" + body + "\n")
    stub.chmod(0o755)
    env = {k: v for k, v in os.environ.items() if k != "KELM_EXPLORE_SEED"}
    if seed is not None:
        env["KELM_EXPLORE_SEED"] = seed
    args = [a if a != "PROGRAM" else str(stub) for a in args]
    return subprocess.run([EXPLORE, *args], env=env, capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("kind,body,ok", [
    # The workers see --seed FIRST --count N [--pairs | --trace-dir DIR].
    ("clusters", 'echo "$2" >> "$(dirname "$0")/firsts"; echo "simulator: seeds=$4 violations=0"', True),
    ("pairs", '[ "$5" = --pairs ] || exit 3; echo "$2" >> "$(dirname "$0")/firsts"; '
              'echo "simulator: seeds=$4 violations=0"', True),
    ("services", '[ "$5" = --trace-dir ] || exit 3; echo "$2" >> "$(dirname "$0")/firsts"; '
                 'echo "services: seeds=$4 violations=0"', True),
    ("clusters", 'echo "$2" >> "$(dirname "$0")/firsts"; echo "simulator: seeds=$4 violations=1"; exit 1', False),
    ("services", 'echo "$2" >> "$(dirname "$0")/firsts"; echo "services: seeds=$4 violations=1"; exit 1', False),
])
def test_explore_prints_its_first_seed_and_fails_on_a_violation(tmp_path, kind, body, ok):
    r = run_explore(tmp_path, body, kind, "10", "2", "PROGRAM")
    assert (r.returncode == 0) == ok, r.stdout + r.stderr
    first = int(r.stdout.split(" seeds from seed ")[1].split()[0])
    assert first >= 1000000
    # The seed printed is the one the workers ran from, and KELM_EXPLORE_SEED runs it again.
    assert sorted(int(x) for x in (tmp_path / "firsts").read_text().split()) == [first, first + 5]
    (tmp_path / "firsts").unlink()
    again = run_explore(tmp_path, body, kind, "10", "2", "PROGRAM", seed=str(first))
    assert sorted(int(x) for x in (tmp_path / "firsts").read_text().split()) == [first, first + 5]
    assert (again.returncode == 0) == ok
    if not ok:
        assert f"explore: {kind} failed from seed {first}; replay a failing seed N: " in r.stderr


@pytest.mark.parametrize("args,seed,error", [
    (("cluster", "10", "2", "PROGRAM"), None, "KIND must be clusters, pairs or services, not 'cluster'"),
    (("clusters", "0", "2", "PROGRAM"), None, "count must be a positive whole number, not '0'"),
    (("clusters", "10", "x", "PROGRAM"), None, "jobs must be a positive whole number, not 'x'"),
    (("clusters", "10", "2", "/nonexistent/soak"), None, "no soak program at '/nonexistent/soak'"),
    (("clusters", "10", "2", "PROGRAM"), "12ab", "KELM_EXPLORE_SEED must be a positive whole number, not '12ab'"),
    (("clusters", "10", "2"), None, "usage: scripts/explore"),
])
def test_explore_refuses_a_bad_command_line_before_any_worker_runs(tmp_path, args, seed, error):
    r = run_explore(tmp_path, f"touch {tmp_path}/ran", *args, seed=seed)
    assert r.returncode == 2 and error in r.stderr, r.stderr
    assert not (tmp_path / "ran").exists()


def test_service_soak_names_the_first_failing_seed_of_each_kind_above_2_31(tmp_path):
    # Random first seeds go up to 2^32: the summary must not clip them to a C int.
    stub = tmp_path / "soak"
    stub.write_text('#!/bin/sh\necho "seed 3976449610: stuck-service: x" >&2\n'
                    'echo "services: seeds=$4 violations=1"; exit 1\n')
    stub.chmod(0o755)
    env = dict(os.environ, KELM_SERVICE_SOAK=str(stub), KELM_SERVICE_SOAK_TRACES=str(tmp_path / "traces"))
    r = subprocess.run([os.path.join(os.path.dirname(SOAK), "service-soak"), "2", "3976449610", "1"], env=env,
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 1
    assert "services: stuck-service: 1 seed(s), first seed 3976449610" in r.stderr, r.stderr
