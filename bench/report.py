"""Writing a run's results: JSON, a Markdown summary and PNG plots."""

from __future__ import annotations

import json
import os
import re
from pathlib import Path

from bench.compare import RECALL_TARGETS, batch_label, curve


# An absolute file path of two or more parts, not part of a word or ratio ("1/100").
_ABSOLUTE_PATH = re.compile(r"(?<![\w.~/:])/(?:[\w.+-]+/)+([\w.+-]*)")


def without_paths(obj):
    """obj (JSON-like) with every absolute file path cut to its last part, as
    '…/name': published results name the machine in words, never its folders."""
    if isinstance(obj, dict):
        return {k: without_paths(v) for k, v in obj.items()}
    if isinstance(obj, list):
        return [without_paths(v) for v in obj]
    if isinstance(obj, str):
        return _ABSOLUTE_PATH.sub(lambda m: "…/" + m.group(1), obj)
    return obj


def write_json(path: Path, doc: dict) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp")
    tmp.write_text(json.dumps(doc, indent=1, default=float) + "\n")
    os.replace(tmp, path)


LEGEND = [
    "**batch all / batch 100 / batch 1**: rows per query call in a held-out sweep. "
    "batch all hands every held-out query to one call; batch 100 makes one call per "
    "100 consecutive queries; batch 1 makes one call per query, over a fixed random "
    "sample of the queries (at most 1,000, the same rows for every system), each call "
    "timed on its own: its queries/s is calls per second made one after another, and "
    "its median and 99th-percentile latency are those of the single calls. Its recall "
    "is measured on the sampled queries.",
    "**[beam] / [warm] / [reservoir]**: the query mode (environment variable "
    "VELNOR_QUERY) of velnor's build_and_self_knn. [beam]: every row is searched on "
    "the built graph by beam search (beam_l = 64) started from the row itself; [warm]: "
    "the same search, started from the candidates the build kept for the row; "
    "[reservoir]: no search, the kept candidates widened by their graph neighbours and "
    "ranked by exact distance.",
    "**[fp32] / [sq8]**: velnor's hnsw_self_knn over float32 rows, or over rows "
    "quantized to 8 bits per value (SQ8).",
    "**velnor.Index / velnor.knn_graph**: the package's own API (build once and query; "
    "one kNN graph). **VelnorIndex**, **build_and_self_knn**, **hnsw_self_knn**: the "
    "extension's entry points.",
    "**beam_l / ef / efSearch**: each system's search width, the recall/speed knob of "
    "a sweep.",
    "**index holds**: resident memory of the built index: anonymous resident memory "
    "(RssAnon, after returning freed heap memory) with the index alive, minus the same "
    "before the build; the input is memory-mapped, so it never counts. **peak beyond "
    "the input**: the process's peak resident memory minus the process before loading "
    "data and minus the input it read.",
    "**kNN graph**: the k = 10 nearest other rows of every base row, build included; "
    "hnswlib and faiss: build plus a self-query at ef = 64; PyNNDescent: a second "
    "NNDescent in the process (the first pays numba's compilation).",
    "**ratios**: velnor / peer. Times, latencies and memory: lower is better for velnor; "
    "queries per second: higher is better. QPS at a recall is read off the sweep's "
    "Pareto front, interpolating log(QPS) linearly in recall; n/a says which system "
    "never reaches that recall.",
]


def _f(value, digits=2) -> str:
    return "–" if value is None else f"{value:.{digits}f}"


def _machine_lines(doc: dict) -> list[str]:
    m, s = doc["machine"], doc["settings"]
    pkgs = ", ".join(f"{k} {v}" for k, v in m["packages"].items() if v)
    blas = "; ".join(f"{b['internal_api']} {b['version']} ({b['architecture']})"
                     for b in m["numpy_blas"]) or "unknown"
    removed = ", ".join(m["removed_env"]) or "none"
    return [f"- Machine: {m['cpu_model']}, {m['logical_cpus']} logical CPUs, "
            f"{m['memory_gib']} GiB memory, {m['os']}, Python {m['python']}",
            f"- Packages: {pkgs}",
            f"- NumPy BLAS: {blas}; environment variables removed for this run: {removed}",
            f"- Threads for every system: {s['threads']}; k = {s['k']}; "
            f"harness commit {m['harness_commit']}; {m['date']}"
            + (f"; wall time {doc['wall_seconds'] / 60:.0f} min" if doc.get("wall_seconds") else "")]


def _jobs_table(results: list[dict]) -> list[str]:
    lines = ["| system | status | build s | index holds MiB | kNN graph s | kNN graph recall@10 | "
             "peak beyond input MiB |", "|---|---|---|---|---|---|---|"]
    for r in results:
        sk, mem, build = r.get("self_knn") or {}, r.get("memory") or {}, r.get("build") or {}
        status = r["status"] if r["status"] == "ok" else f"{r['status']}: {r['message']}"
        lines.append(f"| {r['label']} | {status} | {_f(build.get('seconds'))} | "
                     f"{_f(build.get('index_mib'), 0)} | {_f(sk.get('seconds'))} | "
                     f"{_f(sk.get('recall'), 4)} | {_f(mem.get('beyond_input_mib'), 0)} |")
    return lines


def _sweep_table(results: list[dict]) -> list[str]:
    """One row per system and setting: recall and QPS at each batch size."""
    lines = []
    for r in results:
        settings: dict = {}
        for p in r.get("heldout") or []:
            settings.setdefault(p["value"], {})[p["batch"]] = p
        for value, by_batch in settings.items():
            full = by_batch.get("all") or by_batch.get(100) or {}
            one = by_batch.get(1) or {}
            lat = one.get("latency") or {}
            q = {b: _f((by_batch.get(b) or {}).get("qps"), 0) for b in ("all", 100, 1)}
            knob = next(iter(by_batch.values()))["knob"]
            lines.append(f"| {r['label']} | {knob} | {'' if value is None else value} | "
                         f"{_f(full.get('recall'), 4)} | {q['all']} | {q[100]} | {q[1]} | "
                         f"{_f(lat.get('median_ms'), 3)} | {_f(lat.get('p99_ms'), 3)} | "
                         f"{_f(one.get('recall'), 4)} |")
    if not lines:
        return []
    return ["| system | knob | value | recall@10 | q/s batch all | q/s batch 100 | q/s batch 1 | "
            "batch 1 median ms | batch 1 p99 ms | recall@10 batch 1 sample |",
            "|---|---|---|---|---|---|---|---|---|---|"] + lines


def _ratio_cell(e: dict) -> str:
    return _f(e["ratio"], 3) if e["ratio"] is not None else f"n/a ({e['missing']})"


def _qps_table(ratios: list[dict]) -> list[str]:
    """QPS ratios as a grid: one row per velnor index, peer and batch size."""
    rows: dict = {}
    for e in ratios:
        if e.get("group") == "qps":
            rows.setdefault((e["velnor"], e["peer"], e["batch"]), {})[e["target"]] = e
    if not rows:
        return []
    targets = sorted({t for cells in rows.values() for t in cells})
    lines = ["| velnor | peer | batch | " + " | ".join(f"QPS ratio at recall {t}" for t in targets)
             + " |", "|---|---|---|" + "---|" * len(targets)]
    for (velnor, peer, batch), cells in rows.items():
        lines.append(f"| {velnor} | {peer} | {batch} | "
                     + " | ".join(_ratio_cell(cells[t]) if t in cells else "" for t in targets) + " |")
    return lines


def _ratio_table(ratios: list[dict]) -> list[str]:
    others = [e for e in ratios if e.get("group") != "qps"]
    if not others:
        return []
    lines = ["| comparison | velnor | peer | velnor/peer | better | velnor / peer figures | "
             "recall@10 velnor / peer |", "|---|---|---|---|---|---|---|"]
    for e in others:
        figures = (f"{e['velnor_value']:.4g} / {e['peer_value']:.4g} {e['unit']}"
                   if e.get("velnor_value") is not None and e.get("peer_value") is not None else "")
        recalls = (f"{_f(e.get('velnor_recall'), 4)} / {_f(e.get('peer_recall'), 4)}"
                   if "velnor_recall" in e else "")
        lines.append(f"| {e['what']} | {e['velnor']} | {e['peer']} | {_ratio_cell(e)} | "
                     f"{e['better']} | {figures} | {recalls} |")
    return lines


def markdown(doc: dict) -> str:
    """The run as Markdown: machine, settings, legend, then per dataset its tables."""
    lines = [f"# velnor benchmark ({doc['kind']} run)", ""] + _machine_lines(doc) + [""]
    lines += [f"- {note}" for note in doc["notes"]] + [""]
    lines += ["## What the labels mean", ""] + [f"- {item}" for item in LEGEND] + [""]
    for section in doc["datasets"]:
        ds = section["dataset"]
        lines += [f"## {ds['name']}", "", ds["description"], ""]
        lines += [f"- {t}" for t in section.get("truth_notes", [])]
        lines += [f"- {line}" for line in section.get("skipped", [])]
        versions = sorted({r["module"]["version"] or "unknown" for r in section["results"]
                           if r["system"] == "velnor" and r.get("module")})
        lines += [f"- velnor measured: version {', '.join(versions)}" if versions else ""] + [""]
        lines += _jobs_table(section["results"]) + [""]
        sweep = _sweep_table(section["results"])
        if sweep:
            lines += ["### Held-out queries", ""] + sweep + [""]
        qps = _qps_table(section["ratios"])
        if qps:
            lines += ["### velnor / peer: held-out queries per second at equal recall", ""]
            lines += qps + [""]
        ratio = _ratio_table(section["ratios"])
        if ratio:
            lines += ["### velnor / peer: build, memory, latency, kNN graph", ""] + ratio + [""]
        notes = [(r["label"], n) for r in section["results"] for n in r.get("notes", [])]
        lines += [f"- {label}: {n}" for label, n in notes] + ([""] if notes else [])
        for extra in section.get("extra_lines", []):
            lines.append(extra)
    return "\n".join(lines).rstrip() + "\n"


def _ok(results, pred):
    return [r for r in results if r["status"] == "ok" and pred(r)]


def plots(doc: dict, out_dir: Path) -> list[Path]:
    """Per dataset: recall vs QPS, build time and memory, self-kNN time vs recall."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FormatStrFormatter

    written = []
    threads = doc["settings"]["threads"]
    for section in doc["datasets"]:
        name, results = section["dataset"]["name"], section["results"]

        curves = _ok(results, lambda r: any(p.get("recall") is not None for p in r["heldout"]))
        batches = [b for b in ("all", 100, 1) if any(curve(r, b) for r in curves)]
        if batches:
            fig, axes = plt.subplots(1, len(batches), figsize=(6 * len(batches), 5), squeeze=False)
            for ax, batch in zip(axes[0], batches):
                for r in curves:
                    pts = sorted((p["recall"], p["qps"]) for p in curve(r, batch))
                    if pts:
                        ax.plot(*zip(*pts), marker="o", ms=3, label=r["label"])
                for target in RECALL_TARGETS:
                    ax.axvline(target, color="grey", lw=0.6, ls="--")
                ax.set(yscale="log", xlabel="recall@10", ylabel="queries per second",
                       title=f"{name}: {batch_label(batch)}, {threads} threads")
                ax.grid(True, which="both", lw=0.3)
            axes[0][0].legend(fontsize=8)
            fig.tight_layout()
            written.append(_save(fig, out_dir / f"{name}-recall-qps.png"))

        built = _ok(results, lambda r: r.get("build") is not None or r.get("memory"))
        if built:
            fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(11, 0.45 * len(built) + 2))
            labels = [r["label"] for r in built]
            ax1.barh(labels, [(r.get("build") or {}).get("seconds") or 0.0 for r in built])
            ax1.set(xlabel="build time (s)", title=f"{name}: build, {threads} threads")
            ax2.barh(labels, [r["memory"]["beyond_input_mib"] or 0.0 for r in built],
                     label="peak beyond the input")
            ax2.barh(labels, [(r.get("build") or {}).get("index_mib") or 0.0 for r in built],
                     label="held by the built index")
            ax2.set(xlabel="MiB", title="resident memory")
            ax2.set_yticklabels([])
            ax2.legend(fontsize=8)
            fig.tight_layout()
            written.append(_save(fig, out_dir / f"{name}-build.png"))

        selfs = _ok(results, lambda r: (r.get("self_knn") or {}).get("recall") is not None)
        if selfs:
            fig, ax = plt.subplots(figsize=(7, 5))
            for r in selfs:
                ax.scatter(r["self_knn"]["seconds"], r["self_knn"]["recall"], label=r["label"])
            ax.set(xscale="log", xlabel="kNN graph time (s), build included",
                   ylabel="recall@10 (self excluded)", title=f"{name}: kNN graph, {threads} threads")
            ax.xaxis.set_major_formatter(FormatStrFormatter("%g"))
            ax.xaxis.set_minor_formatter(FormatStrFormatter("%g"))
            ax.grid(True, which="both", lw=0.3)
            ax.legend(fontsize=8)
            written.append(_save(fig, out_dir / f"{name}-self-knn.png"))
    return written


def _save(fig, path: Path) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110, bbox_inches="tight")
    import matplotlib.pyplot as plt
    plt.close(fig)
    return path
