#!/usr/bin/env python3
"""Draws udplog-recv's scale curve from the output of bench/scale_bench (bench/run-all.sh): lines
delivered per second against lines offered per second, one curve per number of senders, for lines
of one datagram and of three; and the collector's CPU time per line.

Usage: plot_scale.py RESULTS PNG   (needs python3-matplotlib)
"""
import sys
from collections import defaultdict

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

COLORS = {1: "tab:blue", 10: "tab:orange", 100: "tab:green", 1000: "tab:red"}


def read(path):
    rows = []
    with open(path) as f:
        for line in f:
            if line.startswith("system=udplog-recv senders="):
                rows.append(dict(part.split("=", 1) for part in line.split()))
    return rows


def main():
    results, png = sys.argv[1], sys.argv[2]
    series = defaultdict(list)  # (parts, senders) -> [(offered, delivered, cpu)]
    for row in read(results):
        series[(int(row["parts"]), int(row["senders"]))].append(
            (float(row["offered_per_s"]), float(row["delivered_per_s"]),
             float(row["cpu_us_per_line"])))
    partsSeen = sorted({parts for parts, _ in series})
    if not partsSeen:
        sys.exit(f"plot_scale.py: no scale_bench rows in {results}")
    figure, axes = plt.subplots(1, len(partsSeen) + 1, figsize=(15, 4.6))
    for ax, parts in zip(axes, partsSeen):
        top = 0
        for (p, senders), points in sorted(series.items()):
            if p != parts:
                continue
            points.sort()
            ax.plot([o / 1e3 for o, _, _ in points], [d / 1e3 for _, d, _ in points], marker="o",
                    color=COLORS.get(senders), label=f"{senders} sender{'s' if senders > 1 else ''}")
            top = max(top, max(o for o, _, _ in points))
        ax.plot([0, top / 1e3], [0, top / 1e3], color="gray", linestyle="--", label="offered")
        ax.set_title(f"lines of {parts} datagram{'s' if parts > 1 else ''}")
        ax.set_xlabel("thousand lines per second offered")
        ax.set_ylabel("thousand lines per second delivered")
        ax.set_ylim(bottom=0)
        ax.grid(alpha=0.3)
        ax.legend(fontsize=8)
    ax = axes[-1]
    for parts, style in zip(partsSeen, ["-", ":"]):
        senders = sorted(s for p, s in series if p == parts)
        # The CPU per line at the highest paced rate every sender count was offered.
        cpu = [max(series[(parts, s)])[2] for s in senders]
        ax.plot(senders, cpu, marker="o", linestyle=style, label=f"{parts} datagram(s) a line")
    ax.set_xscale("log")
    ax.set_title("CPU per line at the highest rate offered")
    ax.set_xlabel("senders")
    ax.set_ylabel("microseconds of CPU per line")
    ax.set_ylim(bottom=0)
    ax.grid(alpha=0.3)
    ax.legend(fontsize=8)
    figure.suptitle("one udplog-recv, 127.0.0.1, lines of 120 and 100 120 bytes")
    figure.tight_layout()
    figure.savefig(png, dpi=100)


if __name__ == "__main__":
    main()
