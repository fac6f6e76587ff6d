import inspect
import re

import numpy as np
import pytest

import velnor
from reference import exact_neighbours, recall_at_k

SIGNATURE = ("(x, queries, n_neighbors, metric='euclidean', m=12, l_max=64, r=64, alpha=1.2, "
             "beam_l=64, fanout=2, c_min=256, c_max=2048, runs=1, n_jobs=0, seed=0)")

DOC = """Build a Velnor index over `x` (the base set) and return k-NN for an external
`queries` set \u2014 the ANN-benchmark path (held-out queries vs. self-kNN).

Returns `(indices, distances, stride)` with `indices`/`distances` length
`n_q * stride`, `stride == n_neighbors` (no self edge). `beam_l` is the
search-side recall/speed knob; `runs` is the build-side one."""


def test_signature_and_docstring():
    assert str(inspect.signature(velnor.build_and_query)) == SIGNATURE
    assert velnor.build_and_query.__doc__ == DOC


BASE = np.random.default_rng(0).random((100, 8), dtype=np.float32)


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((BASE, BASE[:5, :7], 3), {}, ValueError, "query dim 7 != base dim 8"),
    ((BASE, np.zeros((0, 8), np.float32), 3), {}, ValueError, "empty base or query matrix"),
    ((np.zeros((0, 8), np.float32), BASE, 3), {}, ValueError, "empty base or query matrix"),
    ((np.zeros((0, 8), np.float32), BASE, 3), {"metric": "dot"}, ValueError,
     "unsupported metric: dot"),
    ((BASE, BASE.astype(np.float64), 3), {}, TypeError, "argument 'queries': "),
    ((BASE, BASE, 0), {}, ValueError, ""),                       # rows of zero width
    ((BASE, BASE, 3), {"m": 17}, ValueError, "m must be <= 16 (code packs into u16)"),
    ((BASE, BASE, 3), {"r": 0}, ValueError, ""),
    ((BASE, BASE, 3), {"c_max": 0}, ValueError, ""),
])
def test_errors(args, kwargs, error, message):
    with pytest.raises(error) as info:
        velnor.build_and_query(*args, **kwargs)
    assert str(info.value).startswith(message)
    assert str(info.value)  # every failure carries a message


def test_more_neighbours_than_rows_lists_every_base_row():
    idx, dist, stride = velnor.build_and_query(BASE[:40], BASE[40:50], 100)
    assert stride == 40
    rows = idx.reshape(10, 40)
    for row in rows:
        assert sorted(row.tolist()) == list(range(40))
    assert np.all(np.diff(dist.reshape(10, 40), axis=1) >= 0)


@pytest.fixture(scope="module")
def split(fashion):
    return fashion[:4500], fashion[4500:5000]


def test_recall_on_held_out_queries(split):
    base, queries = split
    idx, dist, stride = velnor.build_and_query(base, queries, 10)
    assert stride == 10 and idx.shape == (5000,)
    _, d2, kth = exact_neighbours(base, queries, 10)
    assert recall_at_k(idx, d2, kth, 10) >= 0.95
    # Reported distances are Euclidean distances to the listed rows.
    listed = base[idx.reshape(500, 10)]
    np.testing.assert_allclose(dist.reshape(500, 10),
                               np.linalg.norm(listed - queries[:, None, :], axis=2), rtol=1e-4)


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
def test_same_result_for_every_pool_size_and_for_the_persistent_index(split, metric):
    base, queries = split
    kwargs = dict(beam_l=40, runs=2, seed=7, metric=metric)
    first = velnor.build_and_query(base, queries, 10, n_jobs=1, **kwargs)
    for n_jobs in (2, 4):
        got = velnor.build_and_query(base, queries, 10, n_jobs=n_jobs, **kwargs)
        np.testing.assert_array_equal(got[0], first[0])
        np.testing.assert_array_equal(got[1], first[1])
    index = velnor.VelnorIndex(base, runs=2, seed=7, metric=metric)
    got = index.query(queries, 10, beam_l=40)
    np.testing.assert_array_equal(got[0], first[0])
    np.testing.assert_array_equal(got[1], first[1])


def test_profile_line(split, monkeypatch, capfd):
    base, queries = split
    monkeypatch.setenv("VELNOR_PROFILE", "")
    velnor.build_and_query(base, queries[:100], 5, runs=2, beam_l=32)
    err = capfd.readouterr().err.splitlines()
    assert re.fullmatch(r"\[velnor\] BUILD=\d+\.\d{3}s QUERY=\d+\.\d{3}s "
                        r"\[100 queries, runs=2, beam_l=32\]", err[-1])
    monkeypatch.delenv("VELNOR_PROFILE")
    velnor.build_and_query(base, queries[:100], 5)
    assert capfd.readouterr().err == ""


def test_cosine_queries_are_not_normalised():
    base = np.array([[3.0, 4.0], [1.0, 0.0], [0.0, 2.0]], np.float32)
    idx, dist, _ = velnor.build_and_query(base, base[:1], 1, metric="cosine")
    # The base row (3, 4) is stored as (0.6, 0.8); the query stays (3, 4).
    assert idx[0] == 0
    assert dist[0] == pytest.approx(0.5 * ((3 - 0.6) ** 2 + (4 - 0.8) ** 2), rel=1e-5)
