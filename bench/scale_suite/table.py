#!/usr/bin/env python3
"""Merges the scale suite's results into bench-results.json and prints them
as one table.

    table.py SUITE.json [--peer PEER.json] [--edits EDITS.json] [--out bench-results.json]

SUITE.json is written by scale_suite, PEER.json by bench/peer's peer_bench,
EDITS.json by bench_structural_edits (Google Benchmark JSON). Columns:
  figure    our time for the workload at that size (wall clock);
  cpu       the processor time of the same runs (per call for lookups):
            on a shared machine the figure waits for a processor, this does
            not;
  limit     the physical limit of the same work on this machine, from the
            probes run in the same process (memory copy bandwidth for
            builds, walks and SaveIDS; sequential file read for loads);
  of limit  limit / figure: 100% would be running at the machine's limit;
  vs peer   our time / Open CASCADE XCAF's time for the same workload on
            the same assembly (smaller is better; 0.05 is 20x ahead).
"""
import argparse
import json
import sys

# Our workload -> the peer's workload it is compared with.
PEER_OF = {
    "1 build sites+tree": "make",
    "3 SaveIDS": "save",
    "3 LoadIDS": "load",
    "4 full walk": "walk",
    "5 Lookup": "find",
    "5 JBindRoadmapToOccLite": "find",
    "6 apply overrides 1%": "colour",
}
# Per-call figures are compared per call.
PER_CALL = {"5 Lookup", "5 JBindRoadmapToOccLite"}
SIZES = ["10^4", "10^5", "10^6", "10^7"]


def load(path):
    if not path:
        return None
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError) as e:
        print(f"table.py: {path}: {e}", file=sys.stderr)
        return None


def number(value, figure):
    if figure == "ns/call":
        return f"{value:.0f} ns"
    if figure == "us":
        return f"{value:.1f} us"
    return f"{value:.3g} ms" if value < 100 else f"{value:.0f} ms"


def edit_rows(edits):
    """Workload 8 from bench_structural_edits, one row per benchmark."""
    rows = []
    for b in (edits or {}).get("benchmarks", []):
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}.get(b.get("time_unit", "ns"), 1e-6)
        ms = b["real_time"] * scale
        name = b.get("run_name", b["name"]).split("/")
        rows.append({"workload": "8 " + name[0].removeprefix("BM_"), "size": "/".join(name[1:]) or "-",
                     "occurrences": 0, "figure": "ms", "value": ms, "seconds": ms / 1e3, "limit_seconds": 0,
                     "note": "bench_structural_edits"})
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("suite")
    parser.add_argument("--peer")
    parser.add_argument("--edits")
    parser.add_argument("--out", default="bench-results.json")
    args = parser.parse_args()
    suite = load(args.suite)
    if not suite:
        return 1
    peer = load(args.peer)
    edits = load(args.edits)
    peer_times = {(r["size"], r["workload"]): r for r in (peer or {}).get("rows", [])}

    rows = suite["rows"]
    for row in rows:
        p = peer_times.get((row["size"], PEER_OF.get(row["workload"], "")))
        if p and row["seconds"] > 0 and p["seconds"] > 0:
            ours = row["value"] * 1e-9 if row["workload"] in PER_CALL else row["seconds"]
            row["peer_seconds"] = p["seconds"]
            row["ours_over_peer"] = ours / p["seconds"]
        if row["limit_seconds"] > 0 and row["seconds"] > 0:
            row["fraction_of_limit"] = row["limit_seconds"] / row["seconds"]
    if edits is not None:
        rows += edit_rows(edits)
        edits_note = "from bench_structural_edits"
    else:
        rows.append({"workload": "8 structural edits", "size": "-", "occurrences": 0, "figure": "ms", "value": 0,
                     "seconds": 0, "limit_seconds": 0, "note": "not built yet (no bench_structural_edits)"})
        edits_note = "not built yet"
    # Peer-only workloads (apply a colour) go beside our empty slot.
    for row in rows:
        if row["workload"] == "6 apply overrides 1%":
            p = peer_times.get((row["size"], "colour"))
            if p:
                row["peer_seconds"] = p["seconds"]
                row["note"] += f"; peer colours 1% in {p['seconds'] * 1e3:.2f} ms"

    with open(args.out, "w") as f:
        json.dump({"probes": suite["probes"], "rows": rows, "peer": peer, "structural_edits": edits_note}, f, indent=1)

    probes = suite["probes"]
    cold = probes.get("page_cache_dropped")
    print(f"memory copy {probes['memcpy_bytes_per_s'] / 1e9:.2f} GB/s (after the run "
          f"{probes['memcpy_bytes_per_s_after'] / 1e9:.2f} GB/s); file read "
          f"{probes['file_read_bytes_per_s_warm'] / 1e9:.2f} GB/s warm, " +
          (f"{probes['file_read_bytes_per_s_cold'] / 1e9:.2f} GB/s cold" if cold else
           "cold: dropping the page cache is not allowed here"))
    print("figures are medians of 3; limit = the same bytes at the probe's speed; vs peer = ours / XCAF's"
          + ("" if peer else " (run with --peers)"))
    header = f"{'workload':<28} {'size':>5} {'occurrences':>11} {'figure':>10} {'cpu':>10} {'limit':>10} {'of limit':>8} " \
             f"{'vs peer':>8}  note"
    print(header)
    print("-" * len(header))
    order = {s: i for i, s in enumerate(SIZES)}
    rows.sort(key=lambda r: (r["workload"][0], order.get(r["size"], 9), r["workload"]))
    for r in rows:
        built = r["value"] > 0
        figure = number(r["value"], r["figure"]) if built else "-"
        limit = number(r["limit_seconds"] * 1e3, "ms") if r["limit_seconds"] > 0 else "-"
        fraction = f"{r['fraction_of_limit'] * 100:.1f}%" if "fraction_of_limit" in r else "-"
        versus = f"{r['ours_over_peer']:.3f}" if "ours_over_peer" in r else "-"
        cpu_seconds = r.get("processor_seconds", 0)
        if r["workload"] in PER_CALL and r["seconds"] > 0:
            cpu = number(r["value"] * cpu_seconds / r["seconds"], r["figure"])
        elif r["figure"] == "us":
            cpu = number(cpu_seconds * 1e6, "us") if cpu_seconds > 0 else "-"
        else:
            cpu = number(cpu_seconds * 1e3, "ms") if cpu_seconds > 0 else "-"
        print(f"{r['workload']:<28} {r['size']:>5} {r['occurrences'] or '':>11} {figure:>10} {cpu:>10} {limit:>10} "
              f"{fraction:>8} {versus:>8}  {r['note']}")
    print(f"results: {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
