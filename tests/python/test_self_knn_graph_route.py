import re

import numpy as np
import pytest

import velnor
from reference import exact_neighbours, recall_at_k

STAGE = r"\[velnor\] (sketch|leaf\+hashprune|robustprune|symmetrize) *\s+\d+\.\d{3}s"


@pytest.fixture(scope="module")
def x(fashion):
    return fashion[:4000].copy()


@pytest.fixture(scope="module")
def truth(x):
    _, d2, kth = exact_neighbours(x, x, 11)
    return d2, kth


def self_recall(idx, stride, d2, kth):
    rows = idx.reshape(-1, stride)
    assert np.all(rows[:, 0] == np.arange(rows.shape[0]))  # self first
    # Drop the self column; the 10 exact neighbours besides self are columns 1..10.
    return recall_at_k(rows[:, 1:11], d2[:, :], kth, 10)


@pytest.mark.parametrize("mode", [None, "beam", "warm", "reservoir", "Beam", ""])
def test_query_modes(x, truth, mode, monkeypatch, capfd):
    if mode is None:
        monkeypatch.delenv("VELNOR_QUERY", raising=False)
    else:
        monkeypatch.setenv("VELNOR_QUERY", mode)
    monkeypatch.setenv("VELNOR_PROFILE", "1")
    idx, dist, stride = velnor.build_and_self_knn(x, 10)
    assert stride == 11
    d2, kth = truth
    assert self_recall(idx, stride, d2, kth) >= 0.95
    assert np.all(dist.reshape(-1, 11)[:, 0] == 0)
    err = capfd.readouterr().err.splitlines()
    shown = "beam" if mode is None else mode
    assert err[-1].endswith(f"s [{shown}]")
    assert re.fullmatch(r"\[velnor\] BUILD=\d+\.\d{3}s QUERY=\d+\.\d{3}s \[.*\]", err[-1])
    assert [line for line in err if re.fullmatch(STAGE, line)][:4]
    assert re.fullmatch(r"\[velnor\] run 1/1 leaves=\d+ repl=\d+\.\d\dx", err[1])


def test_route_threshold(fashion, monkeypatch, capfd):
    monkeypatch.setenv("VELNOR_PROFILE", "")
    velnor.build_and_self_knn(fashion[:2048], 5)
    assert capfd.readouterr().err == ""           # exact route: no lines
    velnor.build_and_self_knn(fashion[:2049], 5)
    assert "BUILD=" in capfd.readouterr().err      # graph route
    velnor.build_and_self_knn(fashion[:501], 5, c_max=500)
    assert "BUILD=" in capfd.readouterr().err
    velnor.build_and_self_knn(fashion[:500], 5, c_max=500)
    assert capfd.readouterr().err == ""


def test_graph_route_is_the_same_for_every_pool_size(x):
    first = velnor.build_and_self_knn(x, 10, runs=2, n_jobs=1)
    for n_jobs in (2, 4):
        got = velnor.build_and_self_knn(x, 10, runs=2, n_jobs=n_jobs)
        np.testing.assert_array_equal(got[0], first[0])
        np.testing.assert_array_equal(got[1], first[1])


@pytest.mark.parametrize("kwargs, message", [
    ({"m": 17}, "m must be <= 16 (code packs into u16)"),
    ({"r": 0}, ""),
    ({"c_max": 0}, ""),
])
def test_argument_caused_build_failures_raise_value_error(x, kwargs, message):
    with pytest.raises(ValueError) as info:
        velnor.build_and_self_knn(x, 5, **kwargs)
    assert str(info.value).startswith(message) and str(info.value)


@pytest.mark.parametrize("mode", ["beam", "reservoir"])
def test_k_of_n_or_more_lists_each_row_at_most_once(fashion, mode, monkeypatch):
    monkeypatch.setenv("VELNOR_QUERY", mode)
    x = fashion[:150]
    idx, dist, stride = velnor.build_and_self_knn(x, 500, c_max=100)
    assert stride == 150
    for i, row in enumerate(idx.reshape(150, 150)):
        assert row[0] == i
        listed = row[1:][row[1:] != i]          # padding repeats the row itself
        assert len(set(listed.tolist())) == len(listed)
