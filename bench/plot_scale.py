#!/usr/bin/env python3
"""Draws udplog-recv's scale curve from the output of bench/scale_bench (bench/run-all.sh): lines
delivered per second against lines offered per second, one curve per number of senders, for lines
of one datagram and of three; the collector's CPU time per line and its peak resident memory
against the number of senders. With the rows of a --baseline build (system=baseline), its CPU per
line and peak memory are drawn beside them, dashed and paler.

Usage: plot_scale.py RESULTS PNG   (needs python3-matplotlib)
"""
import sys
from collections import defaultdict

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

COLORS = {1: "tab:blue", 10: "tab:orange", 100: "tab:green", 1000: "tab:red"}
KINDS = {1: ("-", "o"), 3: (":", "s")}


def read(path, system="udplog-recv"):
    rows = []
    with open(path) as f:
        for line in f:
            if line.startswith(f"system={system} senders="):
                row = dict(part.split("=", 1) for part in line.split())
                rows.append({k: (v if k == "system" else float(v)) for k, v in row.items()})
    return rows


def per_senders(kind, rate):
    """(senders, CPU us a line at the rate, peak MiB at any rate) for one kind of line."""
    peak = defaultdict(float)
    for r in kind:
        peak[r["senders"]] = max(peak[r["senders"]], r["peak_rss_kb"] / 1024)
    cpu = {r["senders"]: r["cpu_us_per_line"] for r in kind if r["asked_per_s"] == rate}
    return [(s, cpu.get(s), peak[s]) for s in sorted(peak)]


def common_rate(rows):
    """The highest paced rate that the senders reached (within 5 %) at every sender count."""
    senders = {r["senders"] for r in rows}
    best = 0
    for asked in {r["asked_per_s"] for r in rows if r["asked_per_s"] > 0}:
        reached = {r["senders"] for r in rows
                   if r["asked_per_s"] == asked and r["offered_per_s"] >= 0.95 * asked}
        if reached == senders:
            best = max(best, asked)
    return best


def main():
    results, png = sys.argv[1], sys.argv[2]
    rows = read(results)
    parts_seen = sorted({int(r["parts"]) for r in rows})
    if not parts_seen:
        sys.exit(f"plot_scale.py: no scale_bench rows in {results}")
    figure, axes = plt.subplots(1, len(parts_seen) + 2, figsize=(19, 4.8))
    for ax, parts in zip(axes, parts_seen):
        kind = [r for r in rows if r["parts"] == parts]
        for senders in sorted({int(r["senders"]) for r in kind}):
            points = sorted((r["offered_per_s"], r["delivered_per_s"]) for r in kind
                            if r["senders"] == senders)
            ax.plot([o for o, _ in points], [d for _, d in points], marker="o",
                    color=COLORS.get(senders), label=f"{senders} sender{'s' if senders > 1 else ''}")
        low = min(r["offered_per_s"] for r in kind)
        high = max(r["offered_per_s"] for r in kind)
        ax.plot([low, high], [low, high], color="gray", linestyle="--", label="all delivered")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(f"lines of {parts} datagram{'s' if parts > 1 else ''} "
                     f"({int(kind[0]['size'])} bytes)")
        ax.set_xlabel("lines per second offered")
        ax.set_ylabel("lines per second delivered")
        ax.grid(alpha=0.3, which="both")
        ax.legend(fontsize=8)
    cpu, rss = axes[-2], axes[-1]
    baseline = read(results, "baseline")
    for parts in parts_seen:
        kind = [r for r in rows if r["parts"] == parts]
        rate = common_rate(kind)
        style, marker = KINDS.get(parts, ("-", "o"))
        name = f"{parts} datagram{'s' if parts > 1 else ''} a line"
        for system, data, line, alpha in (("", kind, style, 1.0),
                                          (" before", [r for r in baseline if r["parts"] == parts],
                                           "--", 0.45)):
            at = [p for p in per_senders(data, rate) if p[1] is not None]
            if not at:
                continue
            cpu.plot([s for s, _, _ in at], [c for _, c, _ in at], marker=marker, linestyle=line,
                     alpha=alpha, label=f"{name}{system}, {rate:.0f} lines/s")
            rss.plot([s for s, _, _ in at], [m for _, _, m in at], marker=marker, linestyle=line,
                     alpha=alpha, label=f"{name}{system}, any rate")
    cpu.set_title("CPU per line delivered")
    cpu.set_ylabel("microseconds (log)")
    cpu.set_yscale("log")
    rss.set_title("peak resident memory")
    rss.set_ylabel("MiB")
    rss.set_ylim(bottom=0)
    for ax in (cpu, rss):
        ax.set_xscale("log")
        ax.set_xlabel("senders")
        ax.grid(alpha=0.3, which="both")
        ax.legend(fontsize=8)
    runs = sorted({int(r.get("runs", 1)) for r in rows})
    medians = f", medians of {'/'.join(map(str, runs))} trials" if runs != [1] else ""
    figure.suptitle("one udplog-recv on 127.0.0.1 writing to a file, each trial about 2 s of lines"
                    + medians)
    figure.tight_layout()
    figure.savefig(png, dpi=90)


if __name__ == "__main__":
    main()
