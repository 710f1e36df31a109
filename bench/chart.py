"""Draws the search rows as one panel per data size: each system's median time divided
by the streaming-read floor for its thread count (a peer's through tarnix's search, which
it was timed beside), so 1.0 is as fast as the bytes can be read. Below them, one panel
per batch size: each batch system's median time per query, in milliseconds."""
import math

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import FuncFormatter, NullFormatter  # noqa: E402


def draw(rows, path, batch_rows=()):
    sizes = list(dict.fromkeys((row["n"], row["d"]) for row in rows))
    batch_sizes = list(dict.fromkeys((row["n"], row["d"]) for row in batch_rows))
    columns = min(2, max(len(sizes), len(batch_sizes)))
    lines = math.ceil(len(sizes) / columns)
    batch_lines = math.ceil(len(batch_sizes) / columns)
    heights = [1.0] * lines + [1.9] * batch_lines
    figure, axes = plt.subplots(lines + batch_lines, columns, figsize=(7 * columns, 4.2 * sum(heights)),
                                squeeze=False, gridspec_kw={"height_ratios": heights})
    for panel, (n, d) in zip(axes[lines:].flat, batch_sizes):
        draw_batch(panel, [row for row in batch_rows if (row["n"], row["d"]) == (n, d)], n, d)
    for panel in list(axes[lines:].flat)[len(batch_sizes):]:
        panel.set_visible(False)
    axes = axes[:lines]
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
    figure.suptitle("Exact cosine top-10: single queries (median of 30), then batches (per query)")
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


def draw_batch(panel, rows, n, d):
    rows = sorted(rows, key=lambda row: row["queries"])
    labels = [f"{row['system']} ×{row['threads']}, Q={row['queries']}" for row in rows]
    times = [row["ms_per_query"] for row in rows]
    colours = [("tab:orange" if "PyPy" in row["system"] else "tab:red") if row["system"].startswith("tarnix")
               else "tab:blue" for row in rows]
    spread = [[row["ms_per_query"] - row["ms_per_query_min"] for row in rows],
              [row["ms_per_query_max"] - row["ms_per_query"] for row in rows]]
    panel.barh(labels, times, color=colours, xerr=spread, error_kw={"linewidth": 0.8})
    panel.invert_yaxis()
    panel.set_xscale("log")
    panel.xaxis.set_major_formatter(FuncFormatter(lambda x, _: f"{x:g}"))
    panel.xaxis.set_minor_formatter(NullFormatter())
    panel.set_xlim(min(times) / 2, max(times) * 3)
    for place, time in enumerate(times):
        panel.text(time * 1.12, place, f"{time:.2f} ms", va="center", fontsize=7)
    repeats = rows[0]["repeats"] if rows else 0
    panel.set_title(f"batch {n:,} × {d}: ms per query, median of {repeats}")
    panel.set_xlabel("ms per query, log scale")
    panel.tick_params(axis="y", labelsize=7)
