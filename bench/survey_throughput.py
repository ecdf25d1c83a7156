"""Rows per second of tilevista.survey on a local Dask cluster of 1 and of 2
worker processes (one thread each).

    PYTHONPATH=python /usr/bin/python3 bench/survey_throughput.py [IMAGES ...]
        [--psnr DB ...] [--block N ...] [--atoms K ...] [--repeat R] [--workers N ...]

Runs the same survey (default: the sample images, bench/sample_images.py, at 30, 35, 40 and 45 dB, blocks of 8 and 16, the default
dictionaries) R times (default 3) on each number of workers (default 1 and
2), taking turns, every run into a fresh output folder so that every row is
computed; a row with an error stops it. A run's rows per second
are its rows over the time from the first task sent to the last row written
(run_survey's ``seconds``: the cluster's start, about a second, is not
counted; it is printed apart). The machine may be shared: the best run of
each counts. Prints one line per run, then the best of each and the ratio.
"""

import argparse
import tempfile
import time

from sample_images import sample_images


def main():
    from tilevista.survey import DEFAULT_TARGETS, run_survey

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("images", nargs="*")
    parser.add_argument("--psnr", type=float, nargs="+", default=list(DEFAULT_TARGETS))
    parser.add_argument("--block", type=int, nargs="+", default=[8, 16])
    parser.add_argument("--atoms", type=int, nargs="+", default=None)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    args = parser.parse_args()
    if not args.images:
        args.images = [str(p) for p in sample_images()]

    best = {}
    for turn in range(args.repeat):
        for workers in args.workers:
            with tempfile.TemporaryDirectory() as out:
                began = time.perf_counter()
                survey = run_survey(args.images, psnr=args.psnr, block=args.block,
                                    atoms=args.atoms, out=out, workers=workers)
                whole = time.perf_counter() - began
            failed = [r for r in survey.rows if r.error]
            if failed:
                raise SystemExit(f"{len(failed)} rows with errors, e.g. {failed[0].image}: "
                                 f"{failed[0].error}")
            rate = survey.computed / survey.seconds
            best[workers] = max(best.get(workers, 0.0), rate)
            print(f"run {turn + 1}, {workers} worker{'s' * (workers != 1)}: {survey.computed} "
                  f"rows in {survey.seconds:.2f} s, {rate:.3f} rows/s (whole run {whole:.2f} s, "
                  f"start and stop of the cluster {whole - survey.seconds:.2f} s)", flush=True)
    for workers, rate in best.items():
        print(f"best, {workers} worker{'s' * (workers != 1)}: {rate:.3f} rows/s")
    if 1 in best:
        for workers, rate in best.items():
            if workers != 1:
                print(f"{workers} workers / 1 worker: {rate / best[1]:.2f} x")


if __name__ == "__main__":
    main()
