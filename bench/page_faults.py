"""What a page fault costs on this machine: N fresh pages of an anonymous
mapping touched once (each a minor fault), the same pages touched again
(resident: no fault), and the pages marked MADV_FREE and written again (what a
pool that frees its pages lazily would pay on every reuse). Best of three.

    /usr/bin/python3 bench/page_faults.py [--mib 64]

Prints one JSON line: microseconds per page for each, and the faults counted.
"""

import argparse
import json
import mmap
import resource
import time

import numpy as np


def faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def touch(memory, page, value):
    """Writes one byte into every page (one strided NumPy store, so that the
    loop itself costs next to nothing); returns the seconds it took."""
    pages = np.frombuffer(memory, dtype=np.uint8)[::page]
    started = time.perf_counter()
    pages[:] = value
    return time.perf_counter() - started


def measure(mib):
    page = mmap.PAGESIZE
    pages = (mib << 20) // page
    memory = mmap.mmap(-1, pages * page, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
    # The store's own cost, on pages already resident, is taken off every figure.
    f0 = faults()
    fresh = touch(memory, page, 1)
    fresh_faults = faults() - f0
    resident = touch(memory, page, 2)
    started = time.perf_counter()
    memory.madvise(mmap.MADV_FREE)
    advise = time.perf_counter() - started
    f0 = faults()
    after_free = touch(memory, page, 3)
    free_faults = faults() - f0
    memory.close()
    us = lambda seconds: 1e6 * seconds / pages
    return {"pages": pages, "page_bytes": page, "fault_us": us(fresh - resident),
            "fresh_faults": fresh_faults, "resident_us": us(resident),
            "madv_free_us": us(advise), "after_madv_free_us": us(after_free - resident),
            "after_madv_free_faults": free_faults}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mib", type=int, default=64)
    args = parser.parse_args()
    runs = [measure(args.mib) for _ in range(3)]
    best = min(runs, key=lambda r: r["fault_us"])
    best["madv_free_us"] = min(r["madv_free_us"] for r in runs)
    best["after_madv_free_us"] = min(r["after_madv_free_us"] for r in runs)
    print(json.dumps(dict(best, tool="page_faults")))


if __name__ == "__main__":
    main()
