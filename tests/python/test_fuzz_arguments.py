"""The argument frame of every entry point under random arguments: types,
values, shapes, strides, dtypes, NaN and infinity, huge sizes. A call either
returns a well-formed result or raises an exception its arguments account
for; it never crashes, hangs or leaks a reference to an argument.

Each target is one entry of TARGETS: a callable and the schema of its
arguments, in declaration order. Examples per target: VELNOR_FUZZ_EXAMPLES
(default 40, derandomized so the test command always runs the same ones). A
longer, freshly random run, now and then:

    VELNOR_FUZZ_EXAMPLES=3000 python -m pytest tests/python/test_fuzz_arguments.py

VELNOR_FUZZ_LOG=FILE writes each call to FILE before making it, so the one
that crashed the interpreter (where Hypothesis cannot report it) is there. A
call still running after a minute ends the run with the threads' stacks on
standard error (pytest -s shows them).
"""
import faulthandler
import os
import sys
from dataclasses import dataclass, field

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import velnor

EXAMPLES = int(os.environ.get("VELNOR_FUZZ_EXAMPLES", "40"))
LOG = os.environ.get("VELNOR_FUZZ_LOG")
HANG_SECONDS = 60


class IndexFailure(Exception):
    """Raised by an argument's own __index__ / __float__: must pass through."""


class RaisesInIndex:
    def __index__(self):
        raise IndexFailure()

    def __float__(self):
        raise IndexFailure()


class IndexNotInt:
    def __index__(self):
        return 1.5


@dataclass(frozen=True)
class Arg:
    """A drawn value, the exception its conversion raises for sure (None when
    it converts), and the exceptions beyond TypeError, ValueError and
    OverflowError that the call may raise because of it."""
    value: object
    fails: type = None
    may_raise: frozenset = field(default=frozenset())


def plain(value):
    return Arg(value)


def failing(error):
    return lambda value: Arg(value, error)


def odd(number):
    """Values of no fitting type. For a number argument, an __index__ or
    __float__ that raises passes its exception through."""
    if not number:
        return st.sampled_from([None, b"3", [1], (), object(), 1j, 3, 3.0, RaisesInIndex()]).map(
            failing(TypeError))
    return st.sampled_from([None, "3", b"3", [1], (), object(), 1j, IndexNotInt()]).map(
        failing(TypeError)) | st.just(Arg(RaisesInIndex(), IndexFailure))


@dataclass(frozen=True)
class Kind:
    """How to draw one argument: values that convert (some of them extreme)
    and values that do not."""
    valid: object
    invalid: object


def unsigned(cheap, huge=None):
    """An unsigned integer argument. Valid: values in `cheap` (which the call
    handles quickly), bools, NumPy integers, and, when `huge` (a set of
    exceptions they may raise) is given, values up to 2^64 - 1; arguments that
    scale the work (runs, pool sizes) draw none, as those would run for ever.
    Invalid: negative and 64-bit-overflowing values, floats, odd objects."""
    valid = [st.sampled_from(cheap).map(plain), st.booleans().map(plain),
             st.sampled_from([np.int64(2), np.uint8(1)]).map(plain)]
    if huge is not None:
        may = frozenset(huge)
        valid.append(st.integers(2**32, 2**64 - 1).map(lambda v: Arg(v, None, may)))
        valid.append(st.sampled_from([2**64 - 1, np.uint64(2**64 - 1)]).map(
            lambda v: Arg(v, None, may)))
    invalid = [st.integers(-2**70, -1).map(failing(OverflowError)),
               st.integers(2**64, 2**80).map(failing(OverflowError)),
               st.just(np.int32(-3)).map(failing(OverflowError)),
               st.floats(allow_nan=True).map(failing(TypeError)), odd(number=True)]
    return Kind(st.one_of(valid), st.one_of(invalid))


def real():
    return Kind(st.one_of(st.floats(allow_nan=True, allow_infinity=True).map(plain),
                          st.sampled_from([1.2, 0.0, -1.0, 1, True, np.float32(1.5)]).map(plain)),
                st.integers(10**309, 10**400).map(failing(OverflowError)) | odd(number=True))


def text(names):
    return Kind(st.one_of(st.sampled_from(names).map(plain),
                          st.sampled_from([n.upper() for n in names] + [
                              "", "cos", " l2", "\ud800", "euclidean\x00"]).map(plain),
                          st.text(max_size=8).map(plain)),
                odd(number=False))


METRIC = text(["euclidean", "l2", "cosine"])
QUANTIZE = text(["none", "fp32", "sq8"])
ROWS = [1, 2, 3, 7, 40, 300]
COLS = [0, 1, 3, 8]


@st.composite
def matrices(draw, broken, cols=None):
    """A matrix argument. Valid float32 2-D arrays come in every layout
    (C and Fortran order, negative and non-unit strides, views) with ties,
    NaN, infinity and huge values; invalid ones have other dtypes or ndims,
    no rows, or 2^32 rows or more (zero-stride views that use no memory).
    Views too large to copy may raise MemoryError."""
    kind = draw(st.sampled_from(["dtype", "ndim", "not array", "empty", "huge"])) if broken \
        else "valid"
    n = draw(st.sampled_from(ROWS))
    same = cols is not None and cols in COLS and draw(st.integers(0, 5)) > 0
    d = cols if same else draw(st.sampled_from(COLS))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    x = rng.standard_normal((n, d)).astype(np.float32)
    if kind == "valid":
        fill = draw(st.sampled_from(["normal", "ties", "nan", "inf", "huge values", "zeros"]))
        if fill == "ties":
            x[:] = x[rng.integers(0, min(n, 3), n)]
        elif fill in ("nan", "inf") and x.size:
            x.flat[rng.integers(0, x.size)] = np.nan if fill == "nan" else -np.inf
        elif fill == "huge values":
            with np.errstate(over="ignore"):
                x *= np.float32(1e30)  # finite, but squared norms overflow
        elif fill == "zeros":
            x[:] = 0
        layout = draw(st.sampled_from(["C", "F", "rows reversed", "cols reversed", "strided",
                                       "transposed copy"]))
        if layout == "F":
            x = np.asfortranarray(x)
        elif layout == "rows reversed":
            x = x[::-1].copy()[::-1]
        elif layout == "cols reversed":
            x = x[:, ::-1].copy()[:, ::-1]
        elif layout == "strided":
            big = np.zeros((2 * n, 3 * d + 1), np.float32)
            big[::2, :3 * d:3] = x
            x = big[::2, :3 * d:3]
        elif layout == "transposed copy":
            x = np.ascontiguousarray(x.T).T
        return Arg(x)
    if kind == "dtype":
        dtype = draw(st.sampled_from([np.float64, np.int32, np.int64, np.float16, ">f4", np.bool_,
                                      np.complex64, object, "V4"]))
        return Arg(np.zeros((n, d), dtype=dtype), TypeError)
    if kind == "ndim":
        shape = draw(st.sampled_from([(), (n,), (n, d, 2), (1, n, d)]))
        return Arg(np.zeros(shape, np.float32), TypeError)
    if kind == "not array":
        others = [lambda: x.tolist(), lambda: memoryview(x), lambda: None, lambda: 3, lambda: "x"]
        return Arg(others[draw(st.integers(0, len(others) - 1))](), TypeError)
    if kind == "empty":
        return Arg(np.zeros((0, d), np.float32))
    one = np.ones(1, np.float32)
    # Too many rows for a base, or more values than memory holds; never a
    # size that fits, as copying it would take the machine's memory.
    shapes = [(2**40, 0), (2**33, 2**20), (3, 2**40), (2**20, 2**38)]
    if cols is None:
        shapes.append((2**32, 1))
    shape = draw(st.sampled_from(shapes))
    return Arg(np.lib.stride_tricks.as_strided(one, shape=shape, strides=(0, 0)), None,
               frozenset({MemoryError}))


@dataclass(frozen=True, repr=False)
class Target:
    name: str
    call: object        # (positional args, keyword args) -> result
    params: tuple       # (name, strategy or "base" / "queries"), in declaration order
    check: object       # (result, {name: value}) -> None, for calls that returned

    def __repr__(self):
        return self.name


def result_triple(result, args, rows_of):
    indices, distances, stride = result
    rows = rows_of(args)
    assert indices.dtype == np.uint32 and distances.dtype == np.float32
    assert indices.shape == distances.shape == (rows * stride,)
    n = args["x"].shape[0] if "x" in args else INDEX_ROWS
    assert (indices < n).all()


def self_rows(args):
    return args["x"].shape[0]


def query_rows(args):
    return args["queries"].shape[0]


BUILD = (("metric", METRIC), ("m", unsigned(range(0, 18), {MemoryError})),
         ("l_max", unsigned(range(0, 80), {MemoryError})),
         ("r", unsigned(range(0, 80), {MemoryError})), ("alpha", real()))
BEAM = (("beam_l", unsigned(range(0, 300), {MemoryError})),)
TAIL = (("fanout", unsigned(range(0, 5), set())), ("c_min", unsigned(range(0, 300), set())),
        ("c_max", unsigned([0, 1, 2, 5, 20, 100, 3000], set())), ("runs", unsigned(range(0, 3))),
        ("n_jobs", unsigned([0, 1, 2, 3, 5000])), ("seed", unsigned(range(0, 5), set())))
K = ("n_neighbors", unsigned(range(0, 400), set()))

INDEX_ROWS = 300
_index_rows = np.random.default_rng(9).standard_normal((INDEX_ROWS, 8)).astype(np.float32)
INDEX = velnor.VelnorIndex(_index_rows, c_max=20)

TARGETS = [
    Target("build_and_self_knn", velnor.build_and_self_knn,
           (("x", "base"), K) + BUILD + BEAM + TAIL,
           lambda r, a: result_triple(r, a, self_rows)),
    Target("build_and_query", velnor.build_and_query,
           (("x", "base"), ("queries", "queries"), K) + BUILD + BEAM + TAIL,
           lambda r, a: result_triple(r, a, query_rows)),
    Target("VelnorIndex", velnor.VelnorIndex, (("x", "base"),) + BUILD + TAIL,
           lambda r, a: result_triple(r.query(a["x"][:3], 2), {"x": a["x"], "queries": a["x"][:3]},
                                      query_rows)),
    Target("VelnorIndex.query", INDEX.query,
           (("queries", "index queries"), K) + BEAM,
           lambda r, a: result_triple(r, a, query_rows)),
    Target("hnsw_self_knn", velnor.hnsw_self_knn,
           (("x", "base"), K, ("metric", METRIC), ("m", unsigned(range(0, 40), {MemoryError})),
            ("ef_construction", unsigned(range(0, 300), {MemoryError})),
            ("ef_search", unsigned(range(0, 300), {MemoryError})), ("quantize", QUANTIZE),
            ("n_jobs", unsigned([0, 1, 2, 3, 5000])), ("seed", unsigned(range(0, 5), set()))),
           lambda r, a: result_triple(r, a, self_rows)),
]


@st.composite
def calls(draw, target):
    """Arguments for one call: every required one and a random subset of the
    others, the first few positional and the rest by keyword. None, one or
    two of them are invalid."""
    names = [n for n, _ in target.params]
    broken = draw(st.lists(st.sampled_from(names), max_size=draw(st.sampled_from([0, 0, 1, 1, 2]))))
    drawn = {}
    for i, (name, strategy) in enumerate(target.params):
        if i >= 2 and name not in broken and not (name == "n_neighbors" or draw(st.booleans())):
            continue
        bad = name in broken
        if strategy == "base":
            drawn[name] = draw(matrices(bad))
        elif strategy == "queries":
            shape = getattr(drawn["x"].value, "shape", ())
            drawn[name] = draw(matrices(bad, cols=shape[1] if len(shape) == 2 else None))
        elif strategy == "index queries":
            drawn[name] = draw(matrices(bad, cols=8))
        else:
            drawn[name] = draw(strategy.invalid if bad else strategy.valid)
    names = [n for n, _ in target.params if n in drawn]
    # Positional only while the declaration order is unbroken.
    unbroken = 0
    while unbroken < len(names) and names[unbroken] == target.params[unbroken][0]:
        unbroken += 1
    positional = draw(st.integers(0, unbroken))
    return names[:positional], names[positional:], drawn


def run_one(target, example):
    positional, by_keyword, drawn = example
    args = [drawn[n].value for n in positional]
    kwargs = {n: drawn[n].value for n in by_keyword}
    allowed = (TypeError, ValueError, OverflowError) + tuple(
        set().union(*(a.may_raise for a in drawn.values())))
    # Arguments convert in declaration order: the first that cannot ends the call.
    first_failure = next(((n, drawn[n].fails) for n, _ in target.params
                          if n in drawn and drawn[n].fails is not None), None)
    watched = [a.value for a in drawn.values() if isinstance(a.value, (np.ndarray, RaisesInIndex))]
    before = [sys.getrefcount(v) for v in watched]
    if LOG:
        with open(LOG, "w") as f:
            f.write(f"{target.name}(*{args!r}, **{kwargs!r})\n")
    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
    try:
        result = target.call(*args, **kwargs)
    except allowed + (IndexFailure,) as error:
        event(type(error).__name__)
        if first_failure is not None:
            name, expected = first_failure
            assert type(error) is expected, (name, repr(error))
            if expected is not IndexFailure:
                assert str(error).startswith(f"argument '{name}': "), str(error)
        else:
            assert isinstance(error, allowed), repr(error)
            assert str(error) or isinstance(error, MemoryError), repr(error)
    else:
        event("returned")
        assert first_failure is None, f"no error for {first_failure}"
        target.check(result, {n: a.value for n, a in drawn.items()})
        del result
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert [sys.getrefcount(v) for v in watched] == before, "a reference to an argument leaked"


@pytest.mark.parametrize("target", TARGETS, ids=[t.name for t in TARGETS])
def test_random_arguments_raise_only_what_they_account_for(target):
    @settings(max_examples=EXAMPLES, deadline=None, database=None,
              derandomize="VELNOR_FUZZ_EXAMPLES" not in os.environ,
              suppress_health_check=list(HealthCheck))
    @given(calls(target))
    def fuzz(example):
        run_one(target, example)

    fuzz()
