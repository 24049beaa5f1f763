#!/usr/bin/env python3
"""Prints the medians of a Google Benchmark JSON file as tables: each case,
its CPU time and its ratio to the baseline doing the same traffic without
the module; for requests also allocations, minor page faults and peak live
heap per request beside the baseline's; then how cost grows with size and
with the number of arguments."""
import json
import sys

# Each measured case and the baseline it is compared with.
BASELINES = {
    "BM_RoundTrip": "BM_DirectCall",
    "BM_RoundTripCompared": "BM_DirectCall",
    "BM_RoundTripShiftJis": "BM_DirectCallShiftJis",
    "BM_RoundTripShiftJisCompared": "BM_DirectCallShiftJis",
    "BM_RoundTripArguments": "BM_DirectCallArguments",
    "BM_RoundTripArgumentsCompared": "BM_DirectCallArguments",
    "BM_ReadLines": "BM_FreadWhole",
    "BM_LoadThroughFallbacks": "BM_BindDirectly",
}
REQUEST_FAMILIES = ("BM_RoundTrip", "BM_RoundTripShiftJis", "BM_RoundTripArguments",
                    "BM_RoundTripCompared", "BM_RoundTripShiftJisCompared",
                    "BM_RoundTripArgumentsCompared")
TIME_SCALE = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}


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
    medians, counters = {}, {}
    for run in data["benchmarks"]:
        if run.get("aggregate_name") == "median":
            name = run["run_name"]
            medians[name] = run["cpu_time"] * TIME_SCALE[run["time_unit"]]
            counters[name] = {k: run[k] for k in ("allocs", "faults", "peak_heap") if k in run}

    def baseline_of(name):
        family, arg = split(name)
        return BASELINES[family] + (f"/{arg}" if arg else "")

    print(f"{'case':32} {'median CPU':>11} {'baseline':>11} {'ratio':>6}"
          f" {'allocs/req':>11} {'faults/req':>11} {'peak heap/payload':>18}")
    # Listed by family, then by size, whatever order they ran in.
    def order(name):
        family, arg = split(name)
        return (list(BASELINES).index(family) if family in BASELINES else len(BASELINES),
                int(arg) if arg.isdigit() else 0)

    for name in sorted(medians, key=order):
        ns = medians[name]
        family, _ = split(name)
        if family not in BASELINES:
            continue
        base_name = baseline_of(name)
        base = medians.get(base_name)
        ratio = f"{ns / base:.2f}" if base else "-"
        line = f"{name:32} {show_time(ns):>11} {show_time(base) if base else '-':>11} {ratio:>6}"
        if family in REQUEST_FAMILIES and base_name in counters:
            mine, theirs = counters[name], counters[base_name]
            pair = lambda key, fmt: f"{fmt.format(mine.get(key, 0))} ({fmt.format(theirs.get(key, 0))})"
            line += (f" {pair('allocs', '{:.0f}'):>11} {pair('faults', '{:.1f}'):>11}"
                     f" {pair('peak_heap', '{:.2f}'):>18}")
        print(line)
    print("Request columns: the module's figure, then the direct call's in brackets. "
          "allocs/req and faults/req count the host's and the backend's share too.")

    # Time per byte, smallest to largest input, for the sized families.
    print()
    for family in ("BM_RoundTrip", "BM_DirectCall", "BM_ReadLines", "BM_FreadWhole"):
        sized = sorted((int(split(n)[1]), t) for n, t in medians.items() if split(n)[0] == family)
        if len(sized) < 2:
            continue
        (small, t_small), (large, t_large) = sized[0], sized[-1]
        print(f"{family}: time per byte {t_small / small:.3f} ns at {size_label(small)}, "
              f"{t_large / large:.3f} ns at {size_label(large)}")
    args = {int(split(n)[1]): t for n, t in medians.items() if split(n)[0] == "BM_RoundTripArguments"}
    if 1 in args and 100 in args:
        print(f"BM_RoundTripArguments: 100 arguments cost x{args[100] / args[1]:.1f} one argument")
    # The built module against the other build (QB_BENCH_COMPARE_MODULE), case by case.
    compared = [n for n in sorted(medians, key=order) if split(n)[0].endswith("Compared")]
    if compared:
        print("\nThis build against the compared build, same traffic, same run:")
        for other in compared:
            family, arg = split(other)
            mine = family[:-len("Compared")] + f"/{arg}"
            if mine in medians:
                print(f"{mine:32} {show_time(medians[mine]):>11} against {show_time(medians[other]):>11}"
                      f"  x{medians[mine] / medians[other]:.2f}")
    print("\nTimes are medians of repetitions on a shared machine; absolute times vary, ratios less so.")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "build/bench/results.json")
