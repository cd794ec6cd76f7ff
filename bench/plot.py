#!/usr/bin/env python3
"""Draws lines per second against pushing threads, per medium, for the logger beside spdlog's
async logger and the bare limit, from the output of bench/run-all.sh.

Usage: plot.py RESULTS PNG   (needs python3-matplotlib)
"""
import sys
from collections import defaultdict

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def read(path):
    rows = []
    with open(path) as f:
        for line in f:
            if not line.startswith("system="):
                continue
            fields = dict(part.split("=", 1) for part in line.split())
            rows.append(fields)
    return rows


def main():
    results, png = sys.argv[1], sys.argv[2]
    series = defaultdict(dict)  # (medium, system) -> {threads: lines/s}
    for row in read(results):
        if "medium" not in row:
            continue
        series[(row["medium"], row["system"])][int(row["threads"])] = float(row["lines_per_s"])
    media = ["circular", "file", "udp"]
    figure, axes = plt.subplots(1, 3, figsize=(13, 4.2))
    styles = {"logger": ("tab:blue", "o"), "spdlog": ("tab:orange", "s"), "limit": ("gray", "^")}
    for ax, medium in zip(axes, media):
        for system, (color, marker) in styles.items():
            points = series.get((medium, system))
            if not points:
                continue
            threads = sorted(points)
            ax.plot(threads, [points[t] / 1e6 for t in threads], marker=marker, color=color,
                    label=system, linestyle="--" if system == "limit" else "-")
        ax.set_title(medium)
        ax.set_xlabel("pushing threads")
        ax.set_xticks([1, 2, 4])
        ax.set_ylim(bottom=0)
        ax.grid(alpha=0.3)
    axes[0].set_ylabel("million lines per second (end to end)")
    axes[0].legend()
    figure.suptitle("1M lines of 120 bytes, median of 5 runs")
    figure.tight_layout()
    figure.savefig(png, dpi=100)


if __name__ == "__main__":
    main()
