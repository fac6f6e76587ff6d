import os
import subprocess
import sys

import numpy as np
import pytest

import velnor
from velnor import cli


def velnor_command(*args, cwd):
    return subprocess.run([sys.executable, "-m", "velnor", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True)


@pytest.fixture(scope="module")
def folder(fashion, tmp_path_factory):
    """Input files: rows as uint8 pixels (the command converts), queries, and bad inputs."""
    path = tmp_path_factory.mktemp("cli")
    np.save(path / "rows.npy", fashion[:1200].astype(np.uint8))
    np.save(path / "queries.npy", fashion[4500:4550])
    np.save(path / "nan.npy", np.array([[0.0, np.nan], [1.0, 2.0]], np.float32))
    np.save(path / "complex.npy", np.zeros((3, 2), np.complex64))
    np.save(path / "flat.npy", np.zeros(8, np.float32))
    np.save(path / "no_rows.npy", np.zeros((0, 4), np.float32))
    np.save(path / "narrow.npy", np.zeros((3, 5), np.float32))
    np.savez(path / "archive.npz", x=np.zeros((3, 2)))
    (path / "text.npy").write_text("1 2 3\n")
    (path / "foreign.vix").write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(100))
    velnor.Index(fashion[4500:4520]).save(path / "good.vix")
    return path


def test_commands_write_what_the_api_returns(folder):
    rows = np.load(folder / "rows.npy").astype(np.float32)
    queries = np.load(folder / "queries.npy")

    done = velnor_command("knn-graph", "rows.npy", "--k", 8, "--output", "graph.npz", "--seed", 4,
                          "--n-jobs", 1, "--metric", "cosine", cwd=folder)
    assert done.returncode == 0, done.stderr
    expected = velnor.knn_graph(rows, 8, "cosine", seed=4)
    with np.load(folder / "graph.npz") as out:
        assert np.array_equal(out["indices"], expected.indices)
        assert np.array_equal(out["distances"], expected.distances)

    done = velnor_command("knn-graph", "rows.npy", "--k", 8, "--output", "graph.npz", "--target-recall",
                          0.9, cwd=folder)
    assert done.returncode == 0 and done.stdout.startswith("recall@7 on a sample of rows: ")

    done = velnor_command("build", "rows.npy", "--output", "rows.vix", "--seed", 2, "--verbose",
                          cwd=folder)
    assert done.returncode == 0, done.stderr
    assert "velnor: done in" in done.stderr
    done = velnor_command("query", "rows.vix", "queries.npy", "--k", 6, "--beam-l", 40, "--output",
                          "found.npz", cwd=folder)
    assert done.returncode == 0, done.stderr
    expected = velnor.Index(rows, seed=2).query(queries, 6, beam_l=40)
    with np.load(folder / "found.npz") as out:
        assert np.array_equal(out["indices"], expected[0])
        assert np.array_equal(out["distances"], expected[1])
    assert sorted(f for f in os.listdir(folder) if f.startswith(".")) == []


def test_help_explains_every_option(folder):
    commands = cli.parser()._subparsers._group_actions[0].choices
    for name, parser in commands.items():
        done = velnor_command(name, "--help", cwd=folder)
        assert done.returncode == 0
        for action in parser._actions:
            assert action.help, f"{name}: {action.dest} has no help"
            for option in action.option_strings:
                assert option in done.stdout
    script = os.path.join(os.path.dirname(sys.executable), "velnor")
    done = subprocess.run([script, "--version"], capture_output=True, text=True)
    assert done.stdout.strip() == f"velnor {velnor.__version__}"


@pytest.mark.parametrize("args, message", [
    (["knn-graph", "missing.npy"], "missing.npy: no such file"),
    (["knn-graph", "nan.npy", "--k", "2"], "nan.npy: contains NaN or infinite values"),
    (["knn-graph", "complex.npy"], "complex.npy: dtype complex64 is not a real number type"),
    (["knn-graph", "flat.npy"], "flat.npy: expected a 2-D array (rows x features), got shape (8,)"),
    (["build", "no_rows.npy"], "no_rows.npy: the array is empty"),
    (["build", "archive.npz"], "archive.npz: an .npz archive"),
    (["build", "text.npy"], "text.npy: not a .npy file"),
    (["knn-graph", "rows.npy", "--k", "1201"], "rows.npy: --k 1201 is larger than the number of rows"),
    (["query", "foreign.vix", "queries.npy"], "foreign.vix: not a velnor index file"),
    (["query", "rows.npy", "queries.npy"], "rows.npy: not a velnor index file"),
    (["query", "absent.vix", "queries.npy"], "absent.vix: no such file"),
    (["query", "good.vix", "narrow.npy"], "narrow.npy: queries have 5 features, the index has 784"),
    (["query", "good.vix", "queries.npy", "--k", "1201"], "good.vix: --k 1201 is larger than"),
    (["knn-graph", "rows.npy", "--output", "no/such/folder/out.npz"], "no/such/folder/out.npz: cannot write"),
])
def test_bad_input_is_one_line_naming_the_file(folder, args, message):
    if "--output" not in args:
        args = [*args, "--output", "out.npz"]
    done = velnor_command(*args, cwd=folder)
    assert done.returncode == 1
    assert done.stderr.count("\n") == 1 and "Traceback" not in done.stderr
    assert done.stderr.startswith(f"velnor: error: {message}")
    assert not (folder / "out.npz").exists()
