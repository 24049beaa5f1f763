#!/usr/bin/env python3
"""Prints the medians of a Google Benchmark JSON file as one table: each
case, its CPU time, and its ratio to the baseline doing the same traffic
without the module; then how time per byte changes with the input size."""
import json
import sys

# Each measured case and the baseline it is compared with.
BASELINES = {
    "BM_RoundTrip": "BM_CopyOnly",
    "BM_RoundTripShiftJis": "BM_CopyOnlyShiftJis",
    "BM_RoundTripArguments": "BM_CopyOnlyArguments",
    "BM_ReadLines": "BM_FreadWhole",
    "BM_LoadThroughFallbacks": "BM_BindDirectly",
}


def split(name):
    family, _, arg = name.partition("/")
    return family, arg


def show_time(ns):
    for unit, scale in (("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.2f} {unit}"
    return f"{ns:.0f} ns"


def size_label(arg):
    n = int(arg)
    for unit, scale in (("MiB", 1 << 20), ("KiB", 1 << 10)):
        if n >= scale and n % scale == 0:
            return f"{n // scale} {unit}"
    return f"{n} B"


def main(path):
    with open(path) as f:
        data = json.load(f)
    medians = {}
    for run in data["benchmarks"]:
        if run.get("aggregate_name") == "median":
            medians[run["run_name"]] = run["cpu_time"] * {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[run["time_unit"]]

    print(f"{'case':34} {'median CPU time':>16} {'baseline':>12} {'ratio':>7}")
    for name, ns in medians.items():
        family, arg = split(name)
        if family not in BASELINES:
            continue
        base_name = BASELINES[family] + (f"/{arg}" if arg else "")
        base = medians.get(base_name)
        ratio = f"{ns / base:.2f}" if base else "-"
        print(f"{name:34} {show_time(ns):>16} {show_time(base) if base else '-':>12} {ratio:>7}")

    # Time per byte, smallest to largest input, for the sized families.
    print()
    for family in ("BM_RoundTrip", "BM_CopyOnly", "BM_ReadLines", "BM_FreadWhole"):
        sized = sorted((int(split(n)[1]), t) for n, t in medians.items() if split(n)[0] == family)
        if len(sized) < 2:
            continue
        (small, t_small), (large, t_large) = sized[0], sized[-1]
        line = (f"{family}: time per byte {t_small / small:.3f} ns at {size_label(small)}, "
                f"{t_large / large:.3f} ns at {size_label(large)} "
                f"(x{(t_large / large) / (t_small / small):.2f})")
        per_byte = [t / n for n, t in sized if n >= 1024]
        if family == "BM_RoundTrip" and per_byte:
            line += f"; from 1 KiB up, largest/smallest per byte x{max(per_byte) / min(per_byte):.2f}"
        print(line)
    args = {int(split(n)[1]): t for n, t in medians.items() if split(n)[0] == "BM_RoundTripArguments"}
    if 1 in args and 100 in args:
        print(f"BM_RoundTripArguments: 100 arguments cost x{args[100] / args[1]:.1f} one argument")
    print("\nTimes are medians of repetitions on a shared machine; absolute times vary, ratios less so.")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "build/bench/results.json")
