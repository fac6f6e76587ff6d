import dataclasses
import gc
import os
import pickle
import struct
import zlib

import numpy as np
import pytest

import velnor
from velnor import _format
from reference import unit_rows


@pytest.fixture(scope="module")
def queries(fashion):
    return fashion[4500:4700].copy()


@pytest.fixture(scope="module", params=["euclidean", "cosine"])
def built(request, fashion):
    return velnor.Index(fashion[:1500], request.param, n_jobs=2, seed=3)


def mapped(path):
    with open("/proc/self/maps") as f:
        return str(path) in f.read()


@pytest.mark.parametrize("reload", ["load", "mmap", "pickle"])
def test_reloaded_index_answers_bit_identically(built, reload, queries, tmp_path):
    path = tmp_path / "index.vix"
    if reload == "pickle":
        again = pickle.loads(pickle.dumps(built))
    else:
        built.save(path)
        again = velnor.Index.load(path, mmap=reload == "mmap")
    assert (len(again), again.dim, again.metric) == (len(built), built.dim, built.metric)
    for beam in (None, 80):
        expected, got = built.query(queries, 10, beam_l=beam), again.query(queries, 10, beam_l=beam)
        assert np.array_equal(got[0], expected[0]) and np.array_equal(got[1], expected[1])
    assert again.estimate_recall(sample=200) == built.estimate_recall(sample=200)


def test_mmap_maps_the_rows_for_the_index_lifetime(built, queries, tmp_path):
    path = tmp_path / "index.vix"
    built.save(path)
    read = velnor.Index.load(path)
    assert not mapped(path)
    loaded = velnor.Index.load(path, mmap=True)
    assert mapped(path)
    os.unlink(path)  # the mapping outlives the name
    assert np.array_equal(loaded.query(queries, 5)[0], read.query(queries, 5)[0])
    del loaded
    gc.collect()
    assert not mapped(path)


def test_documented_layout_maps_with_numpy(built, fashion, tmp_path):
    path = tmp_path / "index.vix"
    built.save(path)
    head = path.read_bytes()[:64 + 4 * 32]
    magic, version, header_size, _, metric, n, dim = struct.unpack_from("<8sIIIIQQ", head)
    assert (magic, version, n, dim, metric) == (b"VELNORIX", 1, 1500, 784, built.metric == "cosine")
    table = {struct.unpack_from("<12s", head, 64 + 32 * i)[0].rstrip(b"\0").decode():
             struct.unpack_from("<IQQ", head, 64 + 32 * i + 12) for i in range(4)}
    crc, offset, nbytes = table["rows"]
    assert offset == header_size and offset % 64 == 0 and nbytes == n * dim * 4
    rows = np.memmap(path, dtype="<f4", mode="r", offset=offset, shape=(n, dim))
    assert zlib.crc32(rows) == crc
    _, order_offset, _ = table["order"]
    order = np.memmap(path, dtype="<u4", mode="r", offset=order_offset, shape=(n,))
    assert sorted(order) == list(range(n))
    stored = unit_rows(fashion[:1500]) if built.metric == "cosine" else fashion[:1500]
    assert np.array_equal(rows, stored[order])  # row t of the file is original row order[t]


def test_failed_save_leaves_the_old_file(built, tmp_path, monkeypatch):
    path = tmp_path / "index.vix"
    path.write_bytes(b"old")

    def failing(stream, contents):
        stream.write(b"partial")
        raise OSError("disk full")

    monkeypatch.setattr(_format, "write", failing)
    with pytest.raises(OSError, match="disk full"):
        built.save(path)
    assert path.read_bytes() == b"old"
    assert os.listdir(tmp_path) == ["index.vix"]


# ---------------------------------------------------------------- unsound files

@pytest.fixture(scope="module")
def small():
    return velnor.Index(np.random.default_rng(0).random((300, 8), dtype=np.float32), n_jobs=1)


@pytest.fixture(scope="module")
def good_file(small, tmp_path_factory):
    path = tmp_path_factory.mktemp("good") / "index.vix"
    small.save(path)
    return path.read_bytes()


def header_field(data, offset, fmt, value):
    """`data` with a header field set and the header checksum made valid again."""
    out = bytearray(data)
    struct.pack_into(fmt, out, offset, value)
    header_size = struct.unpack_from("<I", out, 12)[0]
    struct.pack_into("<I", out, 16, 0)
    struct.pack_into("<I", out, 16, zlib.crc32(out[:header_size]))
    return bytes(out)


def flipped(data, array):
    """`data` with one byte of an array changed."""
    for i in range(4):
        name, _, offset, nbytes = struct.unpack_from("<12sIQQ", data, 64 + 32 * i)
        if name.rstrip(b"\0") == array.encode():
            out = bytearray(data)
            out[offset + nbytes // 2] ^= 0x40
            return bytes(out)
    raise KeyError(array)


@pytest.mark.parametrize("damage, problem", [
    (lambda b: b"", "empty"),
    (lambda b: b"VELN", "truncated"),
    (lambda b: b"hello, world", "not a velnor index"),
    (lambda b: b"\x93NUMPY" + bytes(200), "not a velnor index"),
    (lambda b: b[:40], "truncated"),
    (lambda b: b[:len(b) // 2], "truncated"),
    (lambda b: b[:-1], "truncated"),
    (lambda b: b + b"\0", "unexpected bytes"),
    (lambda b: header_field(b, 8, "<I", 2), "newer than this velnor"),
    (lambda b: header_field(b, 8, "<I", 0), "unknown format version"),
    (lambda b: b[:24] + bytes([b[24] ^ 1]) + b[25:], "header is corrupted"),
    (lambda b: flipped(b, "rows"), "'rows' is corrupted"),
    (lambda b: flipped(b, "offsets"), "'offsets' is corrupted"),
    (lambda b: flipped(b, "neighbors"), "'neighbors' is corrupted"),
    (lambda b: flipped(b, "order"), "'order' is corrupted"),
    (lambda b: header_field(b, 24, "<Q", 2**40), "shape is invalid"),
    (lambda b: header_field(b, 24, "<Q", 3_000_000), "not what n="),
    (lambda b: header_field(b, 12, "<I", 1 << 19), "truncated"),
    (lambda b: header_field(b, 12, "<I", 1 << 30), "header is corrupted"),
    (lambda b: header_field(b, 20, "<I", 7), "unknown metric"),
    (lambda b: header_field(b, 64 + 16, "<Q", struct.unpack_from("<Q", b, 64 + 16)[0] + 4), "misplaced"),
    (lambda b: header_field(b, 40, "<Q", 300), "medoid"),
])
def test_unsound_file_raises_naming_it(good_file, damage, problem, tmp_path):
    path = tmp_path / "bad.vix"
    path.write_bytes(damage(good_file))
    for mmap in (False, True):
        with pytest.raises(ValueError, match=problem) as caught:
            velnor.Index.load(path, mmap=mmap)
        assert str(caught.value).startswith(f"{path}: ")


def edited(contents, **arrays):
    return dataclasses.replace(contents, **{name: edit(getattr(contents, name).copy())
                                            for name, edit in arrays.items()})


def set_at(position, value):
    def edit(a):
        a[position] = value
        return a
    return edit


@pytest.mark.parametrize("edit, problem", [
    (dict(neighbors=set_at(7, 300)), "neighbour id out of range"),
    (dict(offsets=set_at(5, 10**6)), "offsets must not decrease"),
    (dict(offsets=set_at(-1, 0)), "offsets must hold n \\+ 1 values"),
    (dict(order=set_at(0, 1)), "order must hold every row once"),
    (dict(order=set_at(0, 300)), "order must hold every row once"),
    (dict(rows=set_at((4, 2), np.nan)), "NaN or infinite"),
])
def test_unsound_arrays_with_valid_checksums_are_refused(small, edit, problem, tmp_path):
    path = tmp_path / "crafted.vix"
    _format.save(path, edited(small._contents(), **edit))
    with pytest.raises(ValueError, match=problem) as caught:
        velnor.Index.load(path)
    assert str(caught.value).startswith(f"{path}: ")


def test_unpickling_damaged_bytes_raises(small):
    state = small.__getstate__()
    state["index"] = state["index"][:-10]
    with pytest.raises(ValueError, match="pickled velnor.Index: the file is truncated"):
        velnor.Index.__new__(velnor.Index).__setstate__(state)
    with pytest.raises(FileNotFoundError):
        velnor.Index.load("/nonexistent/index.vix")
