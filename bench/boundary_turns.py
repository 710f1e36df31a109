"""Runs bench/boundary.py on each interpreter in turn, round after round, and reports the
per-call medians side by side with PyPy's ratio to CPython; writes JSON and a chart.

    python bench/boundary_turns.py --cpython PY --pypy PY [--rounds N] --results JSON --chart PNG
"""
import argparse
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def one_round(python):
    out = subprocess.run([python, os.path.join(HERE, "boundary.py"), "--repeats", "5"],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def summary(samples):
    return {"median_us": statistics.median(samples) * 1e6, "min_us": min(samples) * 1e6,
            "max_us": max(samples) * 1e6, "runs": len(samples)}


def draw(rows, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    labels = [row["call"] for row in rows]
    figure, panel = plt.subplots(figsize=(9, 0.45 * len(rows) + 1.5))
    places = range(len(rows))
    panel.barh([p - 0.2 for p in places], [r["cpython"]["median_us"] for r in rows], 0.4,
               label="CPython 3.11", color="tab:blue")
    panel.barh([p + 0.2 for p in places], [r["pypy"]["median_us"] for r in rows], 0.4,
               label="PyPy 3.9, 32-bit", color="tab:red")
    panel.set_yticks(list(places), labels, fontsize=8)
    panel.invert_yaxis()
    panel.set_xscale("log")
    panel.set_xlabel("µs per call (per record for inserts and builds), median, log scale")
    for place, row in enumerate(rows):
        panel.text(row["pypy"]["median_us"] * 1.08, place + 0.2, f"{row['ratio']:.1f}×", va="center", fontsize=7)
    panel.legend(loc="upper center", bbox_to_anchor=(0.5, -0.1), ncol=2, fontsize=8)
    panel.set_title("Calls into tarnix on small stores: the 32-bit PyPy against CPython")
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cpython", required=True)
    parser.add_argument("--pypy", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--results", required=True)
    parser.add_argument("--chart")
    args = parser.parse_args()
    samples = {"cpython": {}, "pypy": {}}
    for index in range(args.rounds):
        print(f"  boundary round {index + 1} of {args.rounds}", flush=True)
        for name in ("cpython", "pypy"):  # in turn, so that both see the same machine
            for call, seconds in one_round(getattr(args, name)).items():
                samples[name].setdefault(call, []).append(seconds)
    rows = []
    for call in samples["cpython"]:
        cpython, pypy = summary(samples["cpython"][call]), summary(samples["pypy"][call])
        rows.append({"call": call, "cpython": cpython, "pypy": pypy,
                     "ratio": pypy["median_us"] / cpython["median_us"]})
    print(f"\n== the boundary, {args.rounds} rounds in turn, median (min–max) µs per call")
    print(f"| call | CPython 3.11 | 32-bit PyPy | PyPy ÷ CPython |\n|---|---|---|---|")
    for row in rows:
        c, p = row["cpython"], row["pypy"]
        print(f"| `{row['call']}` | {c['median_us']:.2f} ({c['min_us']:.2f}–{c['max_us']:.2f}) "
              f"| {p['median_us']:.2f} ({p['min_us']:.2f}–{p['max_us']:.2f}) | {row['ratio']:.1f} |")
    with open(args.results, "w") as out:
        json.dump({"rounds": args.rounds, "rows": rows}, out, indent=1)
    if args.chart:
        draw(rows, args.chart)
    print(f"wrote {args.results}" + (f" and {args.chart}" if args.chart else ""))
    sys.stdout.flush()


if __name__ == "__main__":
    main()
