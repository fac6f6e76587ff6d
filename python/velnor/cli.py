"""The command line: ``velnor knn-graph``, ``velnor build``, ``velnor query``.

Inputs are ``.npy`` files, read memory-mapped; results are ``.npz`` archives
of the arrays ``indices`` and ``distances``, and index files as
``velnor.Index.save`` writes them. A bad input ends the command with one
line on standard error naming the file and the problem, and exit status 1.
"""

from __future__ import annotations

import argparse
import re
import sys
import warnings

import numpy as np

from velnor import __version__
from velnor._format import write_atomically
from velnor.index import Index
from velnor.knn import knn_graph


class _Failure(Exception):
    """A problem with the command's inputs or outputs, told in one line."""


def _integer(minimum: int | None = None, zero: bool = True):
    """An argparse type: a whole number, at least `minimum`, 0 only if `zero`."""
    def convert(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
        if minimum is not None and value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, got {value}")
        if value == 0 and not zero:
            raise argparse.ArgumentTypeError("0 has no meaning: use -1 for every CPU, or a count")
        return value
    return convert


def _fraction(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not 0.0 < value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be in (0, 1], got {value}")
    return value


def _read_matrix(path: str) -> np.ndarray:
    """The 2-D array of real numbers in the .npy file `path`, memory-mapped."""
    try:
        with open(path, "rb") as f:
            magic = f.read(6)
        if magic != b"\x93NUMPY":
            kind = "an .npz archive" if magic.startswith(b"PK") else "not a .npy file"
            raise _Failure(f"{path}: {kind}; expected a .npy file holding one array")
        array = np.load(path, mmap_mode="r", allow_pickle=False)
    except FileNotFoundError:
        raise _Failure(f"{path}: no such file") from None
    except OSError as e:
        raise _Failure(f"{path}: cannot read it ({e.strerror or e})") from None
    except ValueError as e:
        raise _Failure(f"{path}: not a readable .npy file ({e})") from None
    if array.dtype.kind not in "fiu":
        raise _Failure(f"{path}: dtype {array.dtype} is not a real number type")
    if array.ndim != 2:
        raise _Failure(f"{path}: expected a 2-D array (rows x features), got shape {array.shape}")
    if array.shape[0] == 0 or array.shape[1] == 0:
        raise _Failure(f"{path}: the array is empty (shape {array.shape})")
    return array


def _about(path: str, error: ValueError) -> _Failure:
    """A ValueError of the library about the contents of `path`."""
    message = re.sub(r"^argument '\w+' ", "", str(error))
    return _Failure(f"{path}: {message}")


def _write_npz(path: str, indices: np.ndarray, distances: np.ndarray) -> None:
    try:
        write_atomically(path, lambda f: np.savez(f, indices=indices, distances=distances))
    except OSError as e:
        raise _Failure(f"{path}: cannot write it ({e.strerror or e})") from None


def _check_k(k: int, rows: int, path: str, what: str) -> None:
    if k > rows:
        raise _Failure(f"{path}: --k {k} is larger than the number of {what} ({rows})")


def _run_knn_graph(args) -> None:
    data = _read_matrix(args.input)
    _check_k(args.k, data.shape[0], args.input, "rows")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", RuntimeWarning)
        try:
            graph = knn_graph(data, args.k, args.metric, n_jobs=args.n_jobs, seed=args.seed,
                              target_recall=args.target_recall, verbose=args.verbose)
        except ValueError as e:
            raise _about(args.input, e) from None
    for warning in caught:
        print(f"velnor: warning: {warning.message}", file=sys.stderr)
    _write_npz(args.output, *graph)
    if graph.recall is not None:
        print(f"recall@{args.k - 1} on a sample of rows: {graph.recall:.4f}")


def _run_build(args) -> None:
    data = _read_matrix(args.input)
    try:
        index = Index(data, args.metric, n_jobs=args.n_jobs, seed=args.seed, verbose=args.verbose)
    except ValueError as e:
        raise _about(args.input, e) from None
    try:
        index.save(args.output)
    except OSError as e:
        raise _Failure(f"{args.output}: cannot write it ({e.strerror or e})") from None


def _run_query(args) -> None:
    try:
        index = Index.load(args.index, n_jobs=args.n_jobs)
    except FileNotFoundError:
        raise _Failure(f"{args.index}: no such file") from None
    except OSError as e:
        raise _Failure(f"{args.index}: cannot read it ({e.strerror or e})") from None
    except ValueError as e:
        raise _Failure(str(e)) from None  # names the file already
    queries = _read_matrix(args.queries)
    _check_k(args.k, len(index), args.index, "indexed rows")
    try:
        indices, distances = index.query(queries, args.k, beam_l=args.beam_l)
    except ValueError as e:
        raise _about(args.queries, e) from None
    _write_npz(args.output, indices, distances)


def _common(parser: argparse.ArgumentParser, builds: bool = True) -> None:
    """The options the commands share; --metric and --seed for those that build."""
    if builds:
        parser.add_argument("--metric", choices=("euclidean", "cosine"), default="euclidean",
                            help="distance to rank by: euclidean, or cosine (1 - cos) (default: euclidean)")
    parser.add_argument("--n-jobs", type=_integer(zero=False), default=-1, metavar="N",
                        help="worker threads; -1 for every logical CPU, -2 for all but one (default: -1)")
    if builds:
        parser.add_argument("--seed", type=_integer(minimum=0), default=0,
                            help="seed of the random partitions; the same seed gives the same result "
                                 "(default: 0)")
        parser.add_argument("--verbose", action="store_true",
                            help="show on standard error which stage runs, how far it is and the time left")


def _npz_output(parser: argparse.ArgumentParser, rows: str) -> None:
    parser.add_argument("--output", required=True, metavar="OUT.npz",
                        help="where to write the arrays 'indices' (int64) and 'distances' (float32), "
                             f"each of shape ({rows}, K)")


def parser() -> argparse.ArgumentParser:
    """The argument parser of the command line.

    Returns
    -------
    argparse.ArgumentParser
        The parser of ``velnor``, with one sub-parser per command
        (knn-graph, build, query).
    """
    top = argparse.ArgumentParser(
        prog="velnor",
        description="Approximate nearest neighbours of dense float vectors: kNN graphs, "
                    "and indexes for later queries.",
        epilog="Inputs are .npy files of shape (rows, features), any real dtype (converted to "
               "float32), read memory-mapped. 'velnor COMMAND --help' explains a command.")
    top.add_argument("--version", action="version", version=f"velnor {__version__}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    graph = commands.add_parser(
        "knn-graph", help="every row's nearest rows, itself first",
        description="The kNN graph of the rows of INPUT: for every row, its K nearest rows, "
                    "itself first at distance 0, nearest first.")
    graph.add_argument("input", metavar="INPUT.npy", help="the rows, a 2-D .npy array")
    graph.add_argument("--k", type=_integer(minimum=1), default=15,
                       help="neighbours per row, the row itself included (default: 15)")
    _npz_output(graph, "rows")
    graph.add_argument("--target-recall", type=_fraction, default=None, metavar="R",
                       help="raise the effort until recall@(K-1), measured on a sample of 1000 rows "
                            "against exact neighbours, reaches R; prints the figure measured")
    _common(graph)
    graph.set_defaults(run=_run_knn_graph)

    build = commands.add_parser(
        "build", help="build an index and save it",
        description="Builds an index over the rows of INPUT and saves it to INDEX, for 'velnor query'.")
    build.add_argument("input", metavar="INPUT.npy", help="the rows to index, a 2-D .npy array")
    build.add_argument("--output", required=True, metavar="INDEX", help="the index file to write")
    _common(build)
    build.set_defaults(run=_run_build)

    query = commands.add_parser(
        "query", help="query a saved index",
        description="The K nearest indexed rows of every row of QUERIES, nearest first.")
    query.add_argument("index", metavar="INDEX", help="an index file written by 'velnor build'")
    query.add_argument("queries", metavar="QUERIES.npy", help="the query rows, a 2-D .npy array")
    query.add_argument("--k", type=_integer(minimum=1), default=10, help="neighbours per query (default: 10)")
    _npz_output(query, "queries")
    query.add_argument("--beam-l", type=_integer(minimum=1), default=None, metavar="L",
                       help="search width: larger finds more of the true neighbours, slower "
                            "(default: the index's own)")
    _common(query, builds=False)
    query.set_defaults(run=_run_query)
    return top


def main(argv=None) -> int:
    """Runs the command line, as the ``velnor`` command does.

    Parameters
    ----------
    argv : sequence of str or None, default None
        The arguments after the program name; None for ``sys.argv[1:]``.

    Returns
    -------
    int
        The exit status: 0 on success, 1 for a bad input or output (told in
        one line on standard error, naming the file and the problem), 130
        when interrupted.

    Raises
    ------
    SystemExit
        For bad usage (status 2, argparse's message), --help and --version.
    """
    args = parser().parse_args(argv)
    try:
        args.run(args)
    except _Failure as e:
        print(f"velnor: error: {e}", file=sys.stderr)
        return 1
    except MemoryError:
        print("velnor: error: out of memory", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("velnor: interrupted", file=sys.stderr)
        return 130
    return 0

