"""Walks ~10^6 occurrences from Python with the batch form (every world
matrix into one numpy array) and compares it with the C++ walk that reads
the same matrices, in the same process, beside a memory-bandwidth probe.

    PYTHONPATH=build/python /usr/bin/python3 bench/python_walk_bench.py [--fanout 100]
"""
import argparse
import statistics
import tempfile
import time

import numpy as np

import quorra


def median_seconds(work, runs=3):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return statistics.median(times), times


def bandwidth_gbps():
    source = np.ones(32 * 1024 * 1024)  # 256 MiB
    target = np.empty_like(source)
    seconds, _ = median_seconds(lambda: np.copyto(target, source))
    return 2 * source.nbytes / seconds / 1e9  # read + write


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--fanout", type=int, default=132)
    parser.add_argument("--depth", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        top, expected = quorra.write_sample(directory, depth=args.depth, fanout=args.fanout, parts=64)
        start = time.perf_counter()
        asm = quorra.load(top)
        load = time.perf_counter() - start
    count = len(asm)
    print(f"occurrences {count} (expected {expected}), load {load:.2f} s")
    print(f"memory bandwidth probe: {bandwidth_gbps():.1f} GB/s (copy, read+write)")
    cpp, cpp_runs = median_seconds(lambda: quorra._cpp_walk(asm))
    batch, batch_runs = median_seconds(asm.world_matrices)
    print(f"C++ walk reading every world matrix: {cpp * 1e3:.1f} ms (runs {[round(t * 1e3, 1) for t in cpp_runs]})")
    print(f"Python batch walk into one (N,4,4) array: {batch * 1e3:.1f} ms "
          f"(runs {[round(t * 1e3, 1) for t in batch_runs]})")
    print(f"ratio batch / C++: {batch / cpp:.2f}x (target <= 3x)")
    out = asm.world_matrices()
    reused, reused_runs = median_seconds(lambda: asm.world_matrices(out=out))
    print(f"Python batch walk into a reused array: {reused * 1e3:.1f} ms "
          f"(runs {[round(t * 1e3, 1) for t in reused_runs]}), ratio {reused / cpp:.2f}x")
    print(f"bandwidth probe after: {bandwidth_gbps():.1f} GB/s")


if __name__ == "__main__":
    main()
