#!/usr/bin/env python3
"""Draws lines per second against pushing threads, per medium, for the logger beside spdlog's
async logger (every variant measured) and the bare limit, from the output of bench/run-all.sh.

Usage: plot.py RESULTS PNG   (needs python3-matplotlib)
"""
import sys
from collections import defaultdict

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

# The medium names of bench/README.md's table, and what "limit" is for each.
MEDIA = [
    ("circular", "ring", "limit: bare mutex + deque pipe"),
    ("file", "files", "limit: bare mutex + deque pipe"),
    ("udp", "UDP", "limit: plain sendto loop"),
]
STYLES = {
    "logger": ("tab:blue", "o", "-", "logger"),
    "spdlog": ("tab:orange", "s", "-", "spdlog (queue never blocks)"),
    "spdlog-buffered": ("tab:orange", "s", "-", "spdlog buffered, flush on error"),
    "spdlog-flush": ("tab:red", "v", ":", "spdlog flushing every message"),
    "limit": ("gray", "^", "--", "limit"),
}


def read(path):
    rows = []
    with open(path) as f:
        for line in f:
            if not line.startswith("system="):
                continue
            rows.append(dict(part.split("=", 1) for part in line.split()))
    return rows


def main():
    results, png = sys.argv[1], sys.argv[2]
    series = defaultdict(dict)  # (medium, system) -> {threads: lines/s}
    for row in read(results):
        if "medium" not in row:
            continue
        series[(row["medium"], row["system"])][int(row["threads"])] = float(row["lines_per_s"])
    figure, axes = plt.subplots(1, 3, figsize=(14, 4.6))
    for ax, (medium, title, limit) in zip(axes, MEDIA):
        for system, (color, marker, style, label) in STYLES.items():
            points = series.get((medium, system))
            if not points:
                continue
            threads = sorted(points)
            ax.plot(threads, [points[t] / 1e6 for t in threads], marker=marker, color=color,
                    linestyle=style, label=limit if system == "limit" else label)
        ax.set_title(title)
        ax.set_xlabel("pushing threads")
        ax.set_xticks([1, 2, 4])
        ax.set_ylim(bottom=0)
        ax.grid(alpha=0.3)
        ax.legend(fontsize=8)
    axes[0].set_ylabel("million lines per second (end to end)")
    figure.suptitle("1M lines of 120 bytes, median of 5 runs")
    figure.tight_layout()
    figure.savefig(png, dpi=100)


if __name__ == "__main__":
    main()
