"""Ratios velnor / peer from the results of one dataset."""

from __future__ import annotations

from bench.measures import qps_at_recall

RECALL_TARGETS = (0.95, 0.99)


def _by_id(results: list[dict]) -> dict:
    return {r["id"]: r for r in results}


def _why_missing(*records) -> str | None:
    for r in records:
        if r is None:
            return "not run"
        if r["status"] != "ok":
            return f"{r['label']} {r['status']}"
    return None


def _ratio(what: str, better: str, unit: str, velnor: dict | None, peer: dict | None,
           value, recall=None, **extra) -> dict:
    """One comparison: value(record) and recall(record) read the figures."""
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
        return {**entry, "ratio": None, "missing": "target recall not reached"}
    if not p:
        return {**entry, "ratio": None, "missing": "peer figure is 0"}
    return {**entry, "ratio": v / p}


def _self_seconds(r):
    return r["self_knn"]["seconds"]


def _self_recall(r):
    return r["self_knn"].get("recall")


def _build_seconds(r):
    return r["build"]["seconds"] if r.get("build") else None


def _qps_at(target):
    def value(r):
        points = [(p["recall"], p["qps"]) for p in r["heldout"] if p.get("recall") is not None]
        return qps_at_recall(points, target)
    return value


def ratios(results: list[dict]) -> list[dict]:
    """Every velnor/peer comparison the results allow, and a 'missing' reason for the rest."""
    by = _by_id(results)
    out = []
    velnor_self = [r for r in results if r["task"] == "velnor-self"]
    pynn = [r for r in results if r["task"] == "pynndescent"]
    hnswlib = by.get("hnswlib")
    hnswlib_self = hnswlib is not None and hnswlib["wants_self_knn"]
    for v in velnor_self:
        if hnswlib_self:
            out.append(_ratio("self-kNN total time vs hnswlib build + self-query (ef=64)",
                              "lower", "s", v, hnswlib, _self_seconds, _self_recall))
        for p in pynn:
            out.append(_ratio("self-kNN total time vs PyNNDescent kNN graph", "lower", "s",
                              v, p, _self_seconds, _self_recall))
        if "numpy-exact" in by:
            out.append(_ratio("self-kNN time vs NumPy GEMM exact kNN", "lower", "s",
                              v, by["numpy-exact"], _self_seconds, _self_recall))
    index = by.get("velnor-index")
    for peer_id in ("hnswlib", "faiss-hnsw"):
        peer = by.get(peer_id)
        if index is None or peer is None or not peer["wants_heldout"]:
            continue
        out.append(_ratio("index build time", "lower", "s", index, peer, _build_seconds))
        for target in RECALL_TARGETS:
            out.append(_ratio(f"held-out QPS at recall@10 = {target}", "higher", "q/s",
                              index, peer, _qps_at(target), target=target))
    for q in ("fp32", "sq8"):
        v = by.get(f"velnor-hnsw-{q}")
        if v is not None and hnswlib_self:
            out.append(_ratio(f"hnsw_self_knn [{q}] total vs hnswlib build + self-query",
                              "lower", "s", v, hnswlib, _self_seconds, _self_recall))
    sq8, fp32 = by.get("velnor-hnsw-sq8"), by.get("velnor-hnsw-fp32")
    if sq8 is not None and fp32 is not None:
        out.append(_ratio("hnsw_self_knn sq8 time vs fp32", "lower", "s", sq8, fp32,
                          _self_seconds, _self_recall))
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
