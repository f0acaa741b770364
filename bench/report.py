#!/usr/bin/env python3
"""Turns a Google Benchmark JSON file and the instruction counts of
bench/count.sh into the markdown results page."""
import json
import platform
import subprocess
import sys


def load(path):
    with open(path) as f:
        data = json.load(f)
    medians = {}
    for b in data["benchmarks"]:
        if b.get("aggregate_name") == "median":
            medians[b["run_name"]] = b
    return data["context"], medians


def per_item_ns(b):
    # real time per iteration over the items of one iteration
    return 1e9 / b["items_per_second"]


def gbps(b):
    return b["bytes_per_second"] / 1e9


def cpu_model():
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        for line in out.splitlines():
            if line.startswith("Model name:"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def main():
    context, m = load(sys.argv[1])
    counts = {}
    with open(sys.argv[2]) as f:
        for line in f:
            fmt, reader, n = line.split()
            counts[(fmt, reader)] = float(n)
    have_la = any(k.startswith("list/libarchive") for k in m)

    def ns(name):
        return per_item_ns(m[name]) if name in m else None

    def fmt_num(x, digits=1):
        return "n/a" if x is None else f"{x:.{digits}f}"

    def ratio(a, b):
        return "n/a" if a is None or b is None else f"{a / b:.2f}"

    print("# Benchmark results\n")
    print(f"Machine: {cpu_model()}, {context['num_cpus']} CPUs at {context['mhz_per_cpu']} MHz, "
          f"{platform.system()} {platform.release()}. Library built with the `bench` preset (Release).")
    print(f"Medians of {sys.argv[3] if len(sys.argv) > 3 else 'several'} runs; "
          "every ratio compares figures of the same run.")
    print("Reproduce: `bench/run.sh` (full workloads), which also rewrites this page.\n")
    if not have_la:
        print("libarchive was not installed: its columns are left out.\n")

    print("## Listing 100,000 entries of 0 to 200 bytes\n")
    print("Time per entry in ns (instructions per entry from callgrind in brackets). "
          "mem: `cpioread_init` + first/next; bounded: the same after `cpioread_init_bounded`; blocks N: `cpioreadex_*` over a memory read callback; "
          "floor: convert namesize and filesize and step.\n")
    readers = ["mem"] + (["bounded"] if any(k.startswith("list/bounded") for k in m) else []) + \
        ["blocks512", "blocks4096", "blocks65536", "floor"] + (["libarchive"] if have_la else [])
    print("| format | " + " | ".join(readers) + " | libarchive / mem | mem / floor | blocks65536 / mem | libarchive / blocks512 |")
    print("|---" * (len(readers) + 5) + "|")
    for fmt in ["newc", "odc", "bin"]:
        names = {"mem": f"list/mem/{fmt}", "bounded": f"list/bounded/{fmt}", "floor": f"list/floor/{fmt}",
                 "libarchive": f"list/libarchive/{fmt}"}
        for bs in (512, 4096, 65536):
            names[f"blocks{bs}"] = f"list/blocks/{fmt}/{bs}"
        cells = []
        for r in readers:
            t = ns(names[r])
            c = counts.get((fmt, r))
            cells.append(fmt_num(t) + (f" ({c:.0f})" if c is not None else ""))
        t = {r: ns(names[r]) for r in names}
        print(f"| {fmt} | " + " | ".join(cells) +
              f" | {ratio(t['libarchive'], t['mem'])} | {ratio(t['mem'], t['floor'])} | {ratio(t['bounded'], t['mem'])}"
              f" | {ratio(t['blocks65536'], t['mem'])} | {ratio(t['libarchive'], t['blocks512'])} |")

    print("\n## Search for the last of 100,000 entries (newc)\n")
    print("| reader | ms per search |")
    print("|---|---|")
    for name in ["find/mem", "find/blocks/512", "find/blocks/65536", "find/libarchive"]:
        if name in m:
            print(f"| {name} | {per_item_ns(m[name]) * 1e5 / 1e6:.2f} |")

    print("\n## Streaming the data of 4 entries of 256 MiB to a sink that reads every byte\n")
    print("The block reader's read callback copies every block, as a real source must; "
          "`libarchive_copying` reads through a callback that makes the same 64 KiB copies, "
          "`libarchive` (memory) and `mem` (the in-memory reader) hand out pointers into the image without a copy. "
          "memcpy is the floor of the copying readers: the copy and the sink alone.\n")
    print("| reader | GB/s |")
    print("|---|---|")
    names = ["data/blocks/4096", "data/blocks/65536", "data/libarchive_copying", "data/memcpy", "data/mem",
             "data/libarchive"]
    for name in names:
        if name in m:
            print(f"| {name} | {gbps(m[name]):.2f} |")
    d = {k: gbps(m[k]) for k in names if k in m}
    if "data/blocks/65536" in d:
        print(f"\nblocks65536 / libarchive_copying: "
              f"{ratio(d.get('data/blocks/65536'), d.get('data/libarchive_copying'))}; "
              f"blocks65536 / memcpy: {ratio(d.get('data/blocks/65536'), d.get('data/memcpy'))}; "
              f"mem / libarchive (both without a copy): {ratio(d.get('data/mem'), d.get('data/libarchive'))}")

    print("\n## Writing\n")
    print("| workload | library | libarchive | fwrite floor | library / libarchive |")
    print("|---|---|---|---|---|")
    sm = {k: m[f"write/small/{k}"]["items_per_second"] / 1e6 for k in ["lib", "libarchive", "fwrite"]
          if f"write/small/{k}" in m}
    print(f"| 100,000 small entries (M entries/s) | {fmt_num(sm.get('lib'), 2)} | {fmt_num(sm.get('libarchive'), 2)}"
          f" | {fmt_num(sm.get('fwrite'), 2)} | {ratio(sm.get('lib'), sm.get('libarchive'))} |")
    fl = {k: gbps(m[f"write/files/{k}"]) for k in ["lib", "libarchive", "fwrite"] if f"write/files/{k}" in m}
    print(f"| 4 files of 256 MiB (GB/s) | {fmt_num(fl.get('lib'), 2)} | {fmt_num(fl.get('libarchive'), 2)}"
          f" | {fmt_num(fl.get('fwrite'), 2)} | {ratio(fl.get('lib'), fl.get('libarchive'))} |")

    # The goals, each from the figures of this run.
    rows = []

    def goal(text, value, ok):
        rows.append(f"| {text} | {value} | {'met' if ok else 'missed'} |")

    for fmt in ["newc", "odc", "bin"]:
        mem, floor, la = ns(f"list/mem/{fmt}"), ns(f"list/floor/{fmt}"), ns(f"list/libarchive/{fmt}")
        b64, b512 = ns(f"list/blocks/{fmt}/65536"), ns(f"list/blocks/{fmt}/512")
        if la:
            goal(f"{fmt}: listing from memory at least 20x libarchive", f"{la / mem:.1f}x", la / mem >= 20)
        goal(f"{fmt}: listing from memory within 2.5x the floor", f"{mem / floor:.2f}x", mem / floor <= 2.5)
        goal(f"{fmt}: blocks of 65536 within 1.5x the in-memory reader", f"{b64 / mem:.2f}x", b64 / mem <= 1.5)
        if la:
            goal(f"{fmt}: blocks of 512 at least 5x libarchive", f"{la / b512:.1f}x", la / b512 >= 5)
    if "data/blocks/65536" in d and "data/libarchive_copying" in d:
        r = d["data/blocks/65536"] / d["data/libarchive_copying"]
        goal("streaming at 65536: at least libarchive (copying callback)", f"{r:.2f}x", r >= 1)
    if "data/blocks/65536" in d and "data/libarchive" in d:
        r = d["data/blocks/65536"] / d["data/libarchive"]
        goal("streaming at 65536: at least libarchive (memory, no copy)", f"{r:.2f}x", r >= 1)
    if "data/blocks/65536" in d and "data/memcpy" in d:
        r = d["data/blocks/65536"] / d["data/memcpy"]
        goal("streaming at 65536: at least 80% of memcpy", f"{r:.2f}x", r >= 0.8)
    if sm.get("lib") and sm.get("libarchive"):
        goal("small entries: at least 1.3x libarchive", f"{sm['lib'] / sm['libarchive']:.2f}x",
             sm["lib"] / sm["libarchive"] >= 1.3)
    if fl.get("lib") and fl.get("libarchive"):
        goal("large files: at least 1.5x libarchive", f"{fl['lib'] / fl['libarchive']:.2f}x",
             fl["lib"] / fl["libarchive"] >= 1.5)
    print("\n## Against the goals\n")
    print("| goal | this run | |")
    print("|---|---|---|")
    print("\n".join(rows))


if __name__ == "__main__":
    main()
