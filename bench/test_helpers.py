"""Tests of the harness's own helpers: recall, self removal, interpolation,
latency, ground truth, and where results go."""

import json
import math
import subprocess
import sys

import numpy as np
import pytest

from bench import compare, environment, report, run, truth
from bench.measures import drop_self, latency_at_recall, latency_summary, qps_at_recall, recall_at_k

# Points on a line: row i sits at x = i, so distances are easy to read.
LINE = np.arange(8, dtype=np.float32)[:, None]


@pytest.mark.parametrize("ids, expected", [
    ([[1, 2]], 1.0),      # the exact neighbours
    ([[2, 1]], 1.0),      # order does not matter
    ([[0, 1]], 1.0),      # 0 ties 2 at distance 1: a hit too
    ([[1, 1]], 0.5),      # an id listed twice counts once
    ([[1, -1]], 0.5),     # a missing neighbour is a miss
    ([[1, 5]], 0.5),      # a far neighbour is a miss
])
def test_recall_counts_ties_once_and_never_missing(ids, expected):
    query = np.array([[1.0]], dtype=np.float32)
    # exact 2-NN of x = 1 are {1 (d=0), 0 or 2 (d=1)}: the k-th squared distance is 1
    kth_sq = np.array([1.0])
    assert recall_at_k(LINE, query, np.array(ids), kth_sq, 2) == expected


def test_recall_uses_only_first_k_columns():
    query = np.array([[3.0]], dtype=np.float32)
    ids = np.array([[3, 7, 2, 4]])  # 7 is wrong; 2 and 4 come too late to count
    assert recall_at_k(LINE, query, ids, np.array([1.0]), 2) == 0.5


@pytest.mark.parametrize("ids, expected", [
    ([[4, 3, 5]], [[3, 5]]),  # self first
    ([[3, 4, 5]], [[3, 5]]),  # self in the middle (a duplicate came first)
    ([[3, 5, 6]], [[3, 5]]),  # self absent: keep the first k
])
def test_drop_self(ids, expected):
    assert drop_self(np.array(ids), np.array([4]), 2).tolist() == expected


def test_qps_interpolates_log_linearly_on_the_front():
    points = [(0.90, 1000.0), (1.00, 10.0), (0.93, 5.0)]  # (0.93, 5) is dominated
    assert qps_at_recall(points, 0.95) == pytest.approx(100.0)  # half way in log between 1000 and 10
    assert qps_at_recall(points, 0.90) == pytest.approx(1000.0)
    assert qps_at_recall(points, 1.0) == pytest.approx(10.0)


@pytest.mark.parametrize("points, target, expected", [
    ([(0.96, 300.0), (0.99, 100.0)], 0.95, 300.0),   # every point above target: fastest one
    ([(0.80, 300.0), (0.94, 100.0)], 0.95, None),    # never reached
    ([], 0.95, None),
    ([(math.nan, 300.0), (0.97, 100.0)], 0.95, 100.0),  # an unscored point is ignored
])
def test_qps_at_recall_edges(points, target, expected):
    got = qps_at_recall(points, target)
    assert got == (None if expected is None else pytest.approx(expected))


def _brute_force(base, queries, k, exclude=None):
    sq = ((queries[:, None, :].astype(np.float64) - base[None, :, :]) ** 2).sum(-1)
    if exclude is not None:
        sq[np.arange(len(queries)), exclude] = np.inf
    order = np.lexsort((np.broadcast_to(np.arange(len(base)), sq.shape), sq), axis=-1)[:, :k]
    return order, np.take_along_axis(sq, order, axis=1)


@pytest.mark.parametrize("base_chunk, query_block", [(65536, 512), (50, 3)])
def test_exact_knn_matches_float64_brute_force_with_duplicates_and_large_offsets(
        monkeypatch, base_chunk, query_block):
    monkeypatch.setattr(truth, "BASE_CHUNK", base_chunk)
    monkeypatch.setattr(truth, "QUERY_BLOCK", query_block)
    rng = np.random.default_rng(1)
    # A large common offset makes the float32 GEMM shortcut lose most of its
    # digits, so the candidate pass alone would get the order wrong.
    base = (3000.0 + rng.standard_normal((300, 20))).astype(np.float32)
    base[10] = base[20]  # duplicate rows tie at distance 0
    rows = np.array([20, 10, 5, 299])
    for exclude in (None, rows):
        ids, sq = truth.exact_knn(base, base[rows], 7, exclude=exclude)
        want_ids, want_sq = _brute_force(base, base[rows], 7, exclude)
        np.testing.assert_allclose(sq, want_sq, rtol=1e-12)
        np.testing.assert_array_equal(ids, want_ids)


def test_latency_summary_median_and_p99():
    # 1..100 ms: the median lies between 50 and 51, the 99th percentile 1% of
    # the way from 99 to 100 (linear between order statistics).
    summary = latency_summary([i / 1000 for i in range(100, 0, -1)])
    assert summary["calls"] == 100
    assert summary["median_ms"] == pytest.approx(50.5)
    assert summary["p99_ms"] == pytest.approx(99.01)
    assert summary["qps"] == pytest.approx(100 / 5.05)


def test_latency_at_recall_interpolates_on_the_front():
    # (recall, median latency in ms); (0.93, 5.0) is beaten by (0.95, 1.0) on both.
    points = [(0.90, 0.1), (1.00, 10.0), (0.93, 5.0), (0.95, 1.0)]
    assert latency_at_recall(points, 0.95) == pytest.approx(1.0)
    assert latency_at_recall(points, 0.975) == pytest.approx(math.sqrt(10.0))
    assert latency_at_recall(points, 0.80) == pytest.approx(0.1)
    assert latency_at_recall([(0.80, 0.1)], 0.95) is None


@pytest.mark.parametrize("text, expected", [
    ("velnor 0.1.1 from /work/venv/lib/python3.11/site-packages/velnor/__init__.py",
     "velnor 0.1.1 from …/__init__.py"),
    ('File "/usr/lib/python3.11/json.py", line 3', 'File "…/json.py", line 3'),
    ("batch 1/100/all at 2,000 q/s, n/a", "batch 1/100/all at 2,000 q/s, n/a"),
    ("velnor / peer", "velnor / peer"),
])
def test_published_results_carry_no_paths(text, expected):
    assert report.without_paths({"a": [text]}) == {"a": [expected]}


def test_a_run_writes_under_the_ignored_folder_unless_published():
    assert run.parse_args(["--quick"]).out == run.OUT_DIR
    assert run.parse_args(["--publish"]).out == run.RESULTS_DIR
    probe = run.OUT_DIR.relative_to(environment.REPO_ROOT) / "quick.md"
    ignored = subprocess.run(["git", "check-ignore", "-q", str(probe)], cwd=environment.REPO_ROOT)
    if ignored.returncode == 128:
        pytest.skip("not a git checkout")
    assert ignored.returncode == 0, f"{probe} is not ignored by git"


def test_published_run_end_to_end_names_no_paths(tmp_path):
    """A small published run: every output under --out, ratios at every batch
    size, a legend, and no file path anywhere in what would be committed."""
    out = tmp_path / "results"
    env = {**environment.child_env(), "VELNOR_BENCH_CACHE": str(tmp_path / "cache")}
    done = subprocess.run(
        [sys.executable, "-m", "bench", "--datasets", "hard", "--hard-n", "2000",
         "--queries-n", "100", "--systems", "velnor-index,hnswlib", "--skip-self-knn",
         "--skip-plots", "--threads", "1", "--publish", "--out", str(out)],
        cwd=environment.REPO_ROOT, env=env, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-2000:]
    assert sorted(p.name for p in out.iterdir()) == ["results.json", "results.md"]
    text = (out / "results.md").read_text() + (out / "results.json").read_text()
    assert report.without_paths(text) == text, "a published result names a file path"
    assert str(tmp_path) not in text
    doc = json.loads((out / "results.json").read_text())
    [section] = doc["datasets"]
    assert {r["status"] for r in section["results"]} <= {"ok", "skipped"}
    qps = [e for e in section["ratios"] if e.get("group") == "qps" and e["peer"].startswith("hnswlib")]
    if any(r["status"] == "ok" for r in section["results"] if r["id"] == "velnor-index"):
        assert {(e["batch"], e["target"]) for e in qps} == {
            (b, t) for b in ("all", 100, 1) for t in (0.90, 0.95, 0.99)}
    assert "## What the labels mean" in (out / "results.md").read_text()


def _index_result(rid, label, curve_points):
    """A scored index result: (recall, qps) per sweep point, batch all and 1."""
    heldout = [{"knob": "w", "value": i, "batch": b, "recall": r, "qps": q,
                "latency": {"median_ms": 1e3 / q} if b == 1 else None}
               for b in ("all", 1) for i, (r, q) in enumerate(curve_points)]
    return {"id": rid, "label": label, "status": "ok", "task": rid, "wants_heldout": True,
            "wants_self_knn": False, "build": {"seconds": 2.0, "index_mib": 10.0},
            "heldout": heldout, "self_knn": None}


def test_ratios_at_recall_name_the_system_that_never_gets_there():
    velnor = _index_result("velnor-index", "V", [(0.90, 2000.0), (0.96, 1000.0)])
    peer = _index_result("hnswlib", "H", [(0.92, 4000.0), (0.995, 500.0)])
    by = {(e.get("batch"), e.get("target"), e["what"].split(",")[0]): e
          for e in compare.ratios([velnor, peer])}
    qps = "held-out QPS at recall@10 = 0.99"
    assert by[("all", 0.99, qps)]["ratio"] is None
    assert by[("all", 0.99, qps)]["missing"] == "V never reaches 0.99 (best 0.9600)"
    assert by[("all", 0.9, "held-out QPS at recall@10 = 0.9")]["ratio"] == pytest.approx(0.5)
    latency = by[(1, 0.95, "one-row median latency at recall@10 = 0.95")]
    assert latency["velnor_value"] == pytest.approx(1e3 / qps_at_recall([(0.90, 2000.0), (0.96, 1000.0)], 0.95))
    assert by[(None, None, "index build time")]["ratio"] == pytest.approx(1.0)
    assert by[(None, None, "memory held by the built index")]["ratio"] == pytest.approx(1.0)
