"""Writing a run's results: JSON, a Markdown summary and PNG plots."""

from __future__ import annotations

import json
import os
from pathlib import Path


def write_json(path: Path, doc: dict) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp")
    tmp.write_text(json.dumps(doc, indent=1, default=float) + "\n")
    os.replace(tmp, path)


def _f(value, digits=2) -> str:
    return "–" if value is None else f"{value:.{digits}f}"


def _machine_lines(doc: dict) -> list[str]:
    m, s = doc["machine"], doc["settings"]
    pkgs = ", ".join(f"{k} {v}" for k, v in m["packages"].items() if v)
    blas = "; ".join(f"{b['internal_api']} {b['version']} ({b['architecture']})"
                     for b in m["numpy_blas"]) or "unknown"
    removed = ", ".join(m["removed_env"]) or "none"
    return [f"- Machine: {m['cpu_model']}, {m['logical_cpus']} logical CPUs, "
            f"{m['memory_gib']} GiB, {m['platform']}, Python {m['python']}",
            f"- Packages: {pkgs}",
            f"- NumPy BLAS: {blas}; environment variables removed for this run: {removed}",
            f"- Threads for every system: {s['threads']}; k = {s['k']}; "
            f"harness commit {m['harness_commit']}; {m['date']}"]


def _jobs_table(results: list[dict]) -> list[str]:
    lines = ["| system | status | build s | self-kNN total s | self-kNN recall@10 | "
             "peak RSS MiB | beyond input MiB |", "|---|---|---|---|---|---|---|"]
    for r in results:
        sk, mem = r.get("self_knn") or {}, r.get("memory") or {}
        status = r["status"] if r["status"] == "ok" else f"{r['status']}: {r['message']}"
        lines.append(f"| {r['label']} | {status} | {_f((r.get('build') or {}).get('seconds'))} | "
                     f"{_f(sk.get('seconds'))} | {_f(sk.get('recall'), 4)} | "
                     f"{_f(mem.get('peak_rss_mib'), 0)} | {_f(mem.get('beyond_input_mib'), 0)} |")
    return lines


def _sweep_table(results: list[dict]) -> list[str]:
    rows = [(r["label"], p) for r in results for p in (r.get("heldout") or [])]
    if not rows:
        return []
    lines = ["| system | knob | value | queries/s | recall@10 |", "|---|---|---|---|---|"]
    lines += [f"| {label} | {p['knob']} | {'' if p['value'] is None else p['value']} | "
              f"{_f(p['qps'], 0)} | {_f(p['recall'], 4)} |" for label, p in rows]
    return lines


def _ratio_table(ratios: list[dict]) -> list[str]:
    if not ratios:
        return []
    lines = ["| comparison | velnor | peer | velnor/peer | better | recall@10 velnor / peer |",
             "|---|---|---|---|---|---|"]
    for e in ratios:
        ratio = _f(e["ratio"], 3) if e["ratio"] is not None else f"n/a ({e['missing']})"
        recalls = (f"{_f(e.get('velnor_recall'), 4)} / {_f(e.get('peer_recall'), 4)}"
                   if "velnor_recall" in e else "")
        lines.append(f"| {e['what']} | {e['velnor']} | {e['peer']} | {ratio} | "
                     f"{e['better']} | {recalls} |")
    return lines


def markdown(doc: dict) -> str:
    """The run as Markdown: machine, settings, then per dataset its tables."""
    lines = [f"# velnor benchmark ({doc['kind']} run)", ""] + _machine_lines(doc) + [""]
    lines += [f"- {note}" for note in doc["notes"]] + [""]
    for section in doc["datasets"]:
        ds = section["dataset"]
        lines += [f"## {ds['name']}", "", ds["description"], ""]
        lines += [f"- {t}" for t in section.get("truth_notes", [])]
        lines += [f"- {line}" for line in section.get("skipped", [])]
        velnor = {(r["module"]["version"], r["module"]["file"]) for r in section["results"]
                  if r["system"] == "velnor" and r.get("module")}
        lines += [f"- velnor measured: version {v} from {f}" for v, f in sorted(velnor, key=str)] + [""]
        lines += _jobs_table(section["results"]) + [""]
        sweep = _sweep_table(section["results"])
        if sweep:
            lines += ["### Held-out queries", ""] + sweep + [""]
        ratio = _ratio_table(section["ratios"])
        if ratio:
            lines += ["### velnor / peer", ""] + ratio + [""]
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
        if curves:
            fig, ax = plt.subplots(figsize=(7, 5))
            for r in curves:
                pts = sorted((p["recall"], p["qps"]) for p in r["heldout"])
                ax.plot(*zip(*pts), marker="o", ms=3, label=r["label"])
            for target in (0.95, 0.99):
                ax.axvline(target, color="grey", lw=0.6, ls="--")
            ax.set(yscale="log", xlabel="recall@10", ylabel="queries per second",
                   title=f"{name}: held-out queries, {threads} threads")
            ax.grid(True, which="both", lw=0.3)
            ax.legend(fontsize=8)
            written.append(_save(fig, out_dir / f"{name}-recall-qps.png"))

        built = _ok(results, lambda r: r.get("build") is not None or r.get("memory"))
        if built:
            fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(11, 0.45 * len(built) + 2))
            labels = [r["label"] for r in built]
            ax1.barh(labels, [(r.get("build") or {}).get("seconds", 0.0) for r in built])
            ax1.set(xlabel="build time (s)", title=f"{name}: build, {threads} threads")
            ax2.barh(labels, [r["memory"]["peak_rss_mib"] for r in built], label="peak RSS")
            ax2.barh(labels, [r["memory"]["beyond_input_mib"] for r in built], label="beyond the input")
            ax2.set(xlabel="MiB", title="peak resident memory of the process")
            ax2.set_yticklabels([])
            ax2.legend(fontsize=8)
            fig.tight_layout()
            written.append(_save(fig, out_dir / f"{name}-build.png"))

        selfs = _ok(results, lambda r: (r.get("self_knn") or {}).get("recall") is not None)
        if selfs:
            fig, ax = plt.subplots(figsize=(7, 5))
            for r in selfs:
                ax.scatter(r["self_knn"]["seconds"], r["self_knn"]["recall"], label=r["label"])
            ax.set(xscale="log", xlabel="self-kNN total time (s), build included",
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
