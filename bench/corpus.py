"""English paragraphs from the man pages installed on this machine.

Every page under /usr/share/man/man<section>/ (translations live in
/usr/share/man/<language>/ and are left out) is rendered to plain text by
groff with a very long line, so that each paragraph comes out as one line
and paragraphs are separated by blank lines. A paragraph is kept when it has
at least MIN_WORDS words and mostly letters (tables of numbers, code and
headings drop out); whitespace is normalised and repeats are dropped, the
first occurrence in sorted file order staying. Pages are read in sorted
order, so the same pages give the same list.
"""

from __future__ import annotations

import gzip
import re
import shutil
import subprocess
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

MAN_DIR = Path("/usr/share/man")
MIN_WORDS = 8
MIN_LETTER_SHARE = 0.6   # letters among the non-space characters
# -mandoc reads both man and mdoc pages, -t runs tbl, -k converts the input
# encoding; -P -cbou asks grotty for plain text (no escapes, no overstriking).
GROFF = ["groff", "-mandoc", "-t", "-k", "-Tutf8", "-rLL=4000n", "-rHY=0", "-P", "-cbou"]
_BLANK_LINES = re.compile(r"\n[ \t]*\n")


def man_page_files(root: Path = MAN_DIR) -> list[Path]:
    """The English pages: regular files of root/man*/, sorted. Symbolic links
    are left out: they name pages read anyway."""
    return sorted(p for section in sorted(root.glob("man[0-9]*")) if section.is_dir()
                  for p in section.iterdir() if p.is_file() and not p.is_symlink())


def render(path: Path, root: Path = MAN_DIR) -> str:
    """One page as plain text ('' when groff cannot read it).

    groff runs in root, so that a page consisting of '.so man1/other.1' finds
    the page it includes."""
    raw = path.read_bytes()
    if path.suffix == ".gz":
        raw = gzip.decompress(raw)
    done = subprocess.run(GROFF, input=raw, cwd=root, capture_output=True)
    return done.stdout.decode("utf-8", errors="replace") if done.returncode == 0 else ""


def paragraphs(text: str) -> list[str]:
    """The paragraphs of a rendered page worth keeping, whitespace normalised."""
    out = []
    for block in _BLANK_LINES.split(text):
        words = block.split()
        if len(words) < MIN_WORDS:
            continue
        squeezed = "".join(words)
        if sum(c.isalpha() for c in squeezed) < MIN_LETTER_SHARE * len(squeezed):
            continue
        out.append(" ".join(words))
    return out


def unique_paragraphs(files: list[Path], jobs: int = 2, root: Path = MAN_DIR) -> list[str]:
    """Distinct paragraphs of the pages, in page order then in order within a page."""
    seen: dict[str, None] = {}
    with ThreadPoolExecutor(max(1, jobs)) as pool:  # groff runs in its own processes
        for text in pool.map(lambda p: render(p, root), files):
            for paragraph in paragraphs(text):
                seen.setdefault(paragraph, None)
    return list(seen)


def groff_missing() -> bool:
    return shutil.which("groff") is None
