#!/usr/bin/python3
"""Plots of a benchmark run: time per atom against the number of blocks, and
PSNR against sparsity ratio for the module and the per-block OMP.

  plot_results.py RESULTS.json OUTDIR

Writes OUTDIR/benchmarks_time_per_atom.png and OUTDIR/benchmarks_psnr_sparsity.png.
"""

import json
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import FixedLocator, FormatStrFormatter, NullFormatter  # noqa: E402


def plain_log_axis(axis, ticks):
    """A log axis labelled with plain numbers at the given ticks."""
    axis.set_major_locator(FixedLocator(ticks))
    axis.set_major_formatter(FormatStrFormatter("%g"))
    axis.set_minor_formatter(NullFormatter())


SERIES = [
    ("OpenBLAS", ["crop256", "image", "tile2x2", "tile4x4"], "module: crop, image, image tiled"),
    ("OpenBLAS", ["crop256", "crop2x2", "crop4x4", "crop8x8"], "module: crop and crop tiled (same blocks)"),
]


def default_runs(results, build, target):
    """Per image, the fastest run of that build and target at the default thread
    count (the harness repeats some)."""
    best = {}
    for r in results["module"]:
        if r["build"] == build and r["target_psnr"] == target and r.get("threads_set") is None:
            if r["label"] not in best or r["seconds"] < best[r["label"]]["seconds"]:
                best[r["label"]] = r
    return best


def time_per_atom(results, path):
    fig, ax = plt.subplots(figsize=(6.4, 4.4))
    series = list(SERIES)
    for r in results["module"]:
        if r["build"].startswith("baseline") and not any(b == r["build"] for b, _, _ in series):
            series.append((r["build"], SERIES[0][1],
                           "module before the threads, one core (" + r["build"].split()[-1] + ")"))
    for number, (build, labels, name) in enumerate(series):
        runs = sorted((r for label, r in default_runs(results, build, 45.0).items()
                       if label in labels), key=lambda r: r["blocks"])
        if len(runs) < 2:
            continue
        q = [r["blocks"] for r in runs]
        t = [r["us_per_atom"] for r in runs]
        line, = ax.plot(q, t, marker="o", label=name)
        for x, y in zip(q, t):
            ax.annotate(f"{y:.1f}", (x, y), textcoords="offset points",
                        xytext=(0, 6 if number % 2 == 0 else -13),
                        ha="center", fontsize=8, color=line.get_color())
    ax.set_xscale("log", base=2)
    ax.set_yscale("log")
    # From 1 µs (or below the fastest), so that the spread is seen against the
    # whole scale.
    top = max(r["us_per_atom"] for r in results["module"])
    low = min(r["us_per_atom"] for r in results["module"])
    ax.set_ylim(min(1, 0.8 * low), top * 1.6)
    plain_log_axis(ax.yaxis, [0.3, 0.5, 0.7, 1, 2, 3, 4, 5, 7, 10, 20, 30, 50, 100, 200, 500])
    ax.set_xticks([1024, 4096, 16384, 65536])
    ax.set_xticklabels(["1024\n256²", "4096\n512²", "16384\n1024²", "65536\n2048²"])
    ax.set_xlabel("number of 8×8 blocks Q (image side)")
    ax.set_ylabel("call time per atom (µs)")
    ax.set_title("Time per atom against the number of blocks, 45 dB")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def psnr_sparsity(results, path):
    fig, ax = plt.subplots(figsize=(6.4, 4.2))
    targets = sorted({r["target_psnr"] for r in results["module"]})
    ours = [default_runs(results, "OpenBLAS", t)["image"] for t in targets
            if "image" in default_runs(results, "OpenBLAS", t)]
    omp = sorted(results["sklearn"], key=lambda r: r["target_psnr"])
    ax.plot([r["sparsity_ratio"] for r in ours], [r["psnr"] for r in ours], marker="o",
            label="module: global greedy choice across blocks")
    ax.plot([r["sparsity_ratio"] for r in omp], [r["psnr"] for r in omp], marker="s",
            linestyle="--", label="per-block OMP (scikit-learn), tuned per-block tol")
    ax.set_xscale("log")
    plain_log_axis(ax.xaxis, [2, 3, 4, 5, 6, 8, 10, 15, 20, 30, 40, 60])
    ax.set_xlabel("sparsity ratio (pixels per atom)")
    ax.set_ylabel("PSNR (dB)")
    ax.set_title("Bundled image, 8×8 blocks, 16+16 cosine atoms")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    with open(sys.argv[1]) as f:
        results = json.load(f)
    os.makedirs(sys.argv[2], exist_ok=True)
    time_per_atom(results, os.path.join(sys.argv[2], "benchmarks_time_per_atom.png"))
    psnr_sparsity(results, os.path.join(sys.argv[2], "benchmarks_psnr_sparsity.png"))


if __name__ == "__main__":
    main()
