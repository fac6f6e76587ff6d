"""Ratios velnor / peer from the results of one dataset."""

from __future__ import annotations

from bench.measures import latency_at_recall, qps_at_recall

RECALL_TARGETS = (0.90, 0.95, 0.99)
LATENCY_TARGET = 0.95
VELNOR_INDEXES = ("velnor-api", "velnor-index")
PEER_INDEXES = ("hnswlib", "faiss-hnsw")


def batch_label(batch) -> str:
    """'batch all', 'batch 100', 'batch 1': rows per query call."""
    return f"batch {batch}"


def batches_of(result: dict) -> list:
    """The batch sizes of a result's sweep, in the order they ran."""
    seen = []
    for point in result.get("heldout") or []:
        if point["batch"] not in seen:
            seen.append(point["batch"])
    return seen


def curve(result: dict, batch) -> list[dict]:
    """The scored sweep points of one batch size."""
    return [p for p in result.get("heldout") or []
            if p["batch"] == batch and p.get("recall") is not None]


def best_recall(result: dict, batch) -> float | None:
    points = curve(result, batch)
    return max(p["recall"] for p in points) if points else None


def _why_missing(*records) -> str | None:
    for r in records:
        if r is None:
            return "not run"
        if r["status"] != "ok":
            return f"{r['label']} {r['status']}"
    return None


def _ratio(what: str, better: str, unit: str, velnor: dict | None, peer: dict | None,
           value, recall=None, unreached=None, **extra) -> dict:
    """One comparison: value(record) and recall(record) read the figures;
    unreached(record) says why a record has no value (a recall never reached)."""
    entry = {"what": what, "better": better, "unit": unit,
             "velnor": velnor["label"] if velnor else None,
             "peer": peer["label"] if peer else None, **extra}
    missing = _why_missing(velnor, peer)
    if missing:
        return {**entry, "ratio": None, "missing": missing}
    v, p = value(velnor), value(peer)
    entry.update(velnor_value=v, peer_value=p)
    if recall:
        entry.update(velnor_recall=recall(velnor), peer_recall=recall(peer))
    if v is None or p is None:
        why = [unreached(r) if unreached else f"{r['label']} has no figure"
               for r, x in ((velnor, v), (peer, p)) if x is None]
        return {**entry, "ratio": None, "missing": "; ".join(why)}
    if not p:
        return {**entry, "ratio": None, "missing": "peer figure is 0"}
    return {**entry, "ratio": v / p}


def _self_seconds(r):
    return r["self_knn"]["seconds"]


def _self_recall(r):
    return r["self_knn"].get("recall")


def _build_seconds(r):
    return r["build"]["seconds"] if r.get("build") else None


def _index_mib(r):
    return (r.get("build") or {}).get("index_mib")


def _qps_at(batch, target):
    def value(r):
        return qps_at_recall([(p["recall"], p["qps"]) for p in curve(r, batch)], target)
    return value


def _latency_at(target):
    def value(r):
        points = [(p["recall"], p["latency"]["median_ms"]) for p in curve(r, 1) if p.get("latency")]
        return latency_at_recall(points, target)
    return value


def _never_reaches(batch, target):
    def why(r):
        best = best_recall(r, batch)
        if best is None:
            return f"{r['label']} has no {batch_label(batch)} sweep"
        return f"{r['label']} never reaches {target} (best {best:.4f})"
    return why


def _index_ratios(index: dict, peer: dict) -> list[dict]:
    out = [_ratio("index build time", "lower", "s", index, peer, _build_seconds, group="build")]
    if out[0]["ratio"] is None and "missing" in out[0] and "velnor_value" not in out[0]:
        return out  # one of them did not run: the build line says why
    if peer["id"] == "hnswlib":
        out.append(_ratio("memory held by the built index", "lower", "MiB", index, peer,
                          _index_mib, group="memory"))
    batches = [b for b in batches_of(index) if b in batches_of(peer)]
    for batch in batches:
        for target in RECALL_TARGETS:
            out.append(_ratio(f"held-out QPS at recall@10 = {target}, {batch_label(batch)}",
                              "higher", "q/s", index, peer, _qps_at(batch, target),
                              unreached=_never_reaches(batch, target),
                              group="qps", batch=batch, target=target))
    if 1 in batches:
        out.append(_ratio(f"one-row median latency at recall@10 = {LATENCY_TARGET}", "lower",
                          "ms", index, peer, _latency_at(LATENCY_TARGET),
                          unreached=_never_reaches(1, LATENCY_TARGET),
                          group="latency", batch=1, target=LATENCY_TARGET))
    return out


def ratios(results: list[dict]) -> list[dict]:
    """Every velnor/peer comparison the results allow, and a 'missing' reason for the rest."""
    by = {r["id"]: r for r in results}
    out = []
    graphs = [r for r in results if r["task"] in ("velnor-knn-graph", "velnor-self")]
    pynn = [r for r in results if r["task"] == "pynndescent"]
    hnswlib = by.get("hnswlib")
    hnswlib_self = hnswlib is not None and hnswlib["wants_self_knn"]
    for v in graphs:
        for p in pynn:
            out.append(_ratio("kNN graph time vs PyNNDescent", "lower", "s", v, p,
                              _self_seconds, _self_recall, group="graph"))
        if hnswlib_self:
            out.append(_ratio("kNN graph time vs hnswlib build + self-query (ef=64)",
                              "lower", "s", v, hnswlib, _self_seconds, _self_recall, group="graph"))
        if "numpy-exact" in by:
            out.append(_ratio("kNN graph time vs NumPy GEMM exact kNN", "lower", "s",
                              v, by["numpy-exact"], _self_seconds, _self_recall, group="graph"))
    for index_id in VELNOR_INDEXES:
        for peer_id in PEER_INDEXES:
            index, peer = by.get(index_id), by.get(peer_id)
            if index is not None and peer is not None and peer["wants_heldout"]:
                out += _index_ratios(index, peer)
    for q in ("fp32", "sq8"):
        v = by.get(f"velnor-hnsw-{q}")
        if v is not None and hnswlib_self:
            out.append(_ratio(f"hnsw_self_knn [{q}] time vs hnswlib build + self-query",
                              "lower", "s", v, hnswlib, _self_seconds, _self_recall, group="hnsw"))
    sq8, fp32 = by.get("velnor-hnsw-sq8"), by.get("velnor-hnsw-fp32")
    if sq8 is not None and fp32 is not None:
        out.append(_ratio("hnsw_self_knn sq8 time vs fp32", "lower", "s", sq8, fp32,
                          _self_seconds, _self_recall, group="hnsw"))
    return out


def describe_all(entries: list[dict]) -> list[str]:
    """Console lines for a dataset's ratios; QPS ratios grouped, one line per
    velnor index, peer and batch size."""
    lines, grids = [], {}
    for e in entries:
        if e.get("group") == "qps":
            key = (e["velnor"], e["peer"], e["batch"])
            if key not in grids:
                grids[key] = []
                lines.append(key)
            grids[key].append(e)
        else:
            lines.append(describe(e))
    out = []
    for line in lines:
        if isinstance(line, str):
            out.append(line)
            continue
        velnor, peer, batch = line
        cells = [f"{e['target']}: " + (f"{e['ratio']:.3f}" if e["ratio"] is not None
                                       else f"n/a ({e['missing']})") for e in grids[line]]
        out.append(f"held-out QPS ratio at equal recall@10, {batch_label(batch)}: "
                   f"{velnor} / {peer}: " + ", ".join(cells) + " (higher is better for velnor)")
    return out


def describe(entry: dict) -> str:
    """One console line for a ratio."""
    head = f"{entry['what']}: {entry['velnor']} / {entry['peer']}"
    if entry["ratio"] is None:
        return f"{head}: n/a ({entry['missing']})"
    text = (f"{head} = {entry['ratio']:.3f} ({entry['better']} is better for velnor; "
            f"{entry['velnor_value']:.4g} vs {entry['peer_value']:.4g} {entry['unit']}")
    if entry.get("velnor_recall") is not None or entry.get("peer_recall") is not None:
        fmt = lambda r: "n/a" if r is None else f"{r:.4f}"  # noqa: E731
        text += f"; recall@10 {fmt(entry.get('velnor_recall'))} vs {fmt(entry.get('peer_recall'))}"
    return text + ")"
