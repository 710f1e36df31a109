"""Draws the search rows as one panel per data size: each system's median time divided
by the streaming-read floor for its thread count (a peer's through tarnix's search, which
it was timed beside), so 1.0 is as fast as the bytes can be read."""
import math

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import FuncFormatter, NullFormatter  # noqa: E402


def draw(rows, path):
    sizes = list(dict.fromkeys((row["n"], row["d"]) for row in rows))
    columns = min(2, len(sizes))
    lines = math.ceil(len(sizes) / columns)
    figure, axes = plt.subplots(lines, columns, figsize=(7 * columns, 4.2 * lines), squeeze=False)
    for panel, (n, d) in zip(axes.flat, sizes):
        shown = [row for row in rows if (row["n"], row["d"]) == (n, d) and row["system"] != "floor"]
        labels = [f"{row['system']} ×{row['threads']}" for row in shown]
        ratios = [row["ratio_floor"] for row in shown]
        colours = ["tab:red" if row["system"].startswith("tarnix") else "tab:blue" for row in shown]
        panel.barh(labels, ratios, color=colours)
        panel.invert_yaxis()
        panel.set_xscale("log")
        panel.xaxis.set_major_formatter(FuncFormatter(lambda x, _: f"{x:g}"))
        panel.xaxis.set_minor_formatter(NullFormatter())
        panel.axvline(1.0, color="black", linewidth=1)
        panel.set_xlim(0.5, max(ratios) * 2.5)
        for place, ratio in enumerate(ratios):
            panel.text(ratio * 1.05, place, f"{ratio:.1f}×", va="center", fontsize=8)
        floors = {row["threads"]: row["median_ns"] / 1e6 for row in rows
                  if (row["n"], row["d"]) == (n, d) and row["system"] == "floor"}
        panel.set_title(f"{n:,} × {d}: floor {floors[1]:.3g} ms on 1 thread, {floors[2]:.3g} ms on 2")
        panel.set_xlabel("time / streaming-read floor (same threads), log scale")
        panel.tick_params(axis="y", labelsize=9)
    for panel in list(axes.flat)[len(sizes):]:
        panel.set_visible(False)
    figure.suptitle("Single-query exact cosine top-10, median of 30 queries")
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
