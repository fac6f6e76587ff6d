"""Long calls: interrupted by signals, progress on sys.stderr, and worker pools
that keep working in processes forked after they ran."""
import multiprocessing
import os
import re
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import velnor
from conftest import assert_memory_flat


def small_calls(x, q, index):
    """One call of each entry point on small data: the graph route of the
    self-kNN, held-out queries, a query of an index built earlier, the HNSW
    backend with one worker (deterministic)."""
    return [
        velnor.build_and_self_knn(x, 8),
        velnor.build_and_self_knn(x, 8, n_jobs=2),
        velnor.build_and_query(x, q, 5),
        index.query(q, 5),
        velnor.VelnorIndex(x, n_jobs=3).query(q, 5),
        velnor.hnsw_self_knn(x, 5, n_jobs=1),
    ]


def assert_same_results(got, expected):
    assert len(got) == len(expected)
    for (gi, gd, gs), (ei, ed, es) in zip(got, expected):
        assert gs == es
        np.testing.assert_array_equal(gi, ei)
        np.testing.assert_array_equal(gd, ed)


@pytest.fixture(scope="module")
def small():
    rng = np.random.default_rng(3)
    x = rng.standard_normal((3000, 16), dtype=np.float32)
    q = rng.standard_normal((200, 16), dtype=np.float32)
    index = velnor.VelnorIndex(x)
    return x, q, index, small_calls(x, q, index)


# ---------------------------------------------------------------- signals

class Interrupted(Exception):
    pass


@pytest.fixture
def sigint_raises():
    def handler(signum, frame):
        raise Interrupted()

    previous = signal.signal(signal.SIGINT, handler)
    yield
    signal.signal(signal.SIGINT, previous)


def interrupted_after(delay, call):
    """Runs call(), sends this process SIGINT after `delay` seconds, and
    returns the seconds from the signal to the handler's exception leaving
    the call. Fails when the call ends before the signal."""
    sent = []

    def send():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(delay, send)
    timer.start()
    try:
        call()
    except Interrupted:
        timer.join()
        return time.monotonic() - sent[0]
    try:
        timer.join()
        time.sleep(1)
    except Interrupted:
        pass
    pytest.fail("the call ended before the signal: make its input larger")


@pytest.fixture(scope="module")
def large():
    """A base that takes several seconds to index here (about 13 s for the
    self-kNN on 2 cores), and queries for it."""
    x = np.random.default_rng(4).standard_normal((100_000, 32), dtype=np.float32)
    return x, x[:20_000].copy()


LONG_CALLS = {
    "build_and_self_knn": lambda x, q: velnor.build_and_self_knn(x, 10),
    "build_and_self_knn n_jobs=2": lambda x, q: velnor.build_and_self_knn(x, 10, n_jobs=2),
    "build_and_query": lambda x, q: velnor.build_and_query(x, q, 10),
    "VelnorIndex": lambda x, q: velnor.VelnorIndex(x),
    "hnsw_self_knn": lambda x, q: velnor.hnsw_self_knn(x[:50_000], 10),
    "velnor.Index": lambda x, q: velnor.Index(x),
    "velnor.knn_graph": lambda x, q: velnor.knn_graph(x, 30),
}


@pytest.mark.parametrize("name", LONG_CALLS)
def test_a_signal_ends_a_long_call_within_a_second(name, large, small, sigint_raises):
    x, q = large
    for delay in (0.3, 1.2):  # early in the build, and in a later stage
        latency = interrupted_after(delay, lambda: LONG_CALLS[name](x, q))
        assert latency < 1.0
    # The module, and an index built before, work as before.
    sx, sq, index, expected = small
    assert_same_results(small_calls(sx, sq, index), expected)


def test_an_interrupted_batch_query_leaves_the_index_usable(large, sigint_raises):
    x, q = large
    index = velnor.VelnorIndex(x[:20_000])
    expected = index.query(q[:500], 10)
    many = np.repeat(q, 10, axis=0)  # 200,000 queries: several seconds
    assert interrupted_after(0.3, lambda: index.query(many, 10, beam_l=200)) < 1.0
    assert_same_results([index.query(q[:500], 10)], [expected])


def test_interrupted_calls_do_not_grow_memory(large, sigint_raises):
    x, q = large
    assert_memory_flat(lambda: interrupted_after(0.3, lambda: velnor.build_and_query(x, q, 10)),
                       warmup=2, repeats=6)


EXITS_DURING_A_CALL = {
    # The exit stops the call before the libraries it uses are torn down.
    "interpreter exit": "",
    # A forked child runs none of its parent's calls: its exit waits for none.
    "exit of a forked child": """
        pid = os.fork()
        if pid == 0:
            sys.exit(0)
        sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))""",
}


@pytest.mark.parametrize("exit_code", EXITS_DURING_A_CALL.values(), ids=EXITS_DURING_A_CALL)
def test_exit_during_a_call_in_a_daemon_thread_is_clean(exit_code):
    script = """if True:
        import os, sys, threading, time, numpy as np, velnor
        x = np.random.default_rng(0).standard_normal((100_000, 32), dtype=np.float32)
        threading.Thread(target=lambda: velnor.build_and_self_knn(x, 10), daemon=True).start()
        time.sleep(0.5)""" + exit_code
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=30)
    assert done.returncode == 0, done.stderr.decode()


# ---------------------------------------------------------------- progress

STAGES = {"sketch", "partition", "leaf+hashprune", "robustprune", "symmetrize", "search"}
UPDATE = re.compile(r"velnor: (?P<stage>[a-z+]+)(?: +(?P<pct>\d+)%)? \| [\d.ms]+ elapsed"
                    r"(?:, ~[\d.ms]+ left in stage)? *")


def test_progress_line_follows_the_stages_of_a_build(large, capsys):
    x = large[0][:20_000]
    expected = velnor.build_and_self_knn(x, 10)
    assert capsys.readouterr().err == ""  # the entry points draw nothing
    got = velnor._velnor._build_and_self_knn_verbose(x, 10)
    assert_same_results([got], [expected])
    err = capsys.readouterr().err
    assert err.startswith("\r") and err.endswith("\n") and err.count("\n") == 1
    *updates, final = err[1:-1].split("\r")
    assert re.fullmatch(r"velnor: done in [\d.]+s *", final)
    assert len(updates) >= 3
    seen = []
    for text in updates:
        match = UPDATE.fullmatch(text)
        assert match, text
        assert match["stage"] in STAGES
        if match["pct"] is not None:
            assert 0 <= int(match["pct"]) <= 100
        if not seen or seen[-1] != match["stage"]:
            seen.append(match["stage"])
    # Stages come in build order, each once.
    order = ["sketch", "partition", "leaf+hashprune", "robustprune", "symmetrize", "search"]
    assert seen == sorted(seen, key=order.index) and len(set(seen)) == len(seen)
    assert len(seen) >= 2


def test_progress_line_of_a_failed_call_ends_too(capsys):
    x = np.ones((3000, 4), np.float32)
    with pytest.raises(ValueError, match="m must be <= 16"):
        velnor._velnor._build_and_self_knn_verbose(x, 3, m=17)
    err = capsys.readouterr().err
    assert re.fullmatch(r"(\rvelnor: [^\r\n]*)*\rvelnor: failed after [\d.]+s *\n", err)


# ---------------------------------------------------------------- fork

def child_calls(connection, x, q, index):
    try:
        connection.send(small_calls(x, q, index))
    finally:
        connection.close()


def run_in_forked_child(x, q, index):
    context = multiprocessing.get_context("fork")
    receiver, sender = context.Pipe(duplex=False)
    child = context.Process(target=child_calls, args=(sender, x, q, index))
    child.start()
    sender.close()
    try:
        if not receiver.poll(120):
            pytest.fail("the forked child's velnor calls hung")
        got = receiver.recv()
    finally:
        child.join(10)
        if child.is_alive():
            child.kill()
    assert child.exitcode == 0
    return got


def test_forked_child_gets_correct_results_and_the_parent_goes_on(small):
    x, q, index, expected = small
    assert_same_results(run_in_forked_child(x, q, index), expected)
    assert_same_results(small_calls(x, q, index), expected)


def test_fork_while_another_thread_runs_a_call(small, large):
    x, q, index, expected = small
    base = large[0][:10_000]
    first = velnor.build_and_self_knn(base, 10)
    again = []
    worker = threading.Thread(target=lambda: again.extend(velnor.build_and_self_knn(base, 10)
                                                          for _ in range(2)))
    worker.start()
    time.sleep(0.2)
    assert_same_results(run_in_forked_child(x, q, index), expected)
    worker.join()
    assert_same_results(again, [first] * 2)
