"""The working directory of a benchmark run: a temporary one, removed at the end,
or one kept under $KELM_BENCH_KEEP for its logs."""
import contextlib
import os
import tempfile


def workdir(prefix):
    keep = os.environ.get("KELM_BENCH_KEEP")
    if keep:
        path = tempfile.mkdtemp(prefix=prefix, dir=keep)
        print(f"logs kept in {path}", flush=True)
        return contextlib.nullcontext(path)
    return tempfile.TemporaryDirectory(prefix=prefix)
