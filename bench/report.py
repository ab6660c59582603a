"""Tables from bench/run.py's results; with --readme, written into README.md
between its benchmark markers, so that no figure there is typed by hand.

    python bench/report.py RESULTS.json [--readme README.md]
"""

import argparse
import json
import re
from pathlib import Path

import pyperf

PEERS = ("python", "flatten-dict", "flatdict", "pandas", "dpath")
SIZES = ("1e+03", "1e+04", "1e+05", "1e+06")


def table(header, rows):
    lines = [header, "|---|" + "---:|" * (header.count("|") - 2)]
    return "\n".join(lines + [f"| {' | '.join(row)} |" for row in rows])


def tables(path):
    suite = pyperf.BenchmarkSuite.load(str(path))
    leaves = json.loads(path.with_suffix(".leaves.json").read_text())
    median = {b.get_name(): b.median() for b in suite.get_benchmarks()}
    ns = {name: median[name] / n * 1e9 for name, n in leaves.items() if name in median}
    meta = suite.get_benchmarks()[0].get_metadata()
    yield (
        f"Measured by `make bench` on {meta['cpu_model_name']}, {meta['cpu_count']} "
        f"cores, Python {meta['python_version']}: medians of pyperf's values; a "
        "ratio is the other's time over this module's, from the same run."
    )

    def ratio(name, ours):
        return f"{ns[name] / ours:.1f}x" if name in ns else ""

    sets = dict.fromkeys(tuple(name.split("/")[:2]) for name in ns)
    peers = [(t, d) for t, d in sets if "e+" not in d]
    rows = []
    for task, data in peers:
        ours = ns[f"{task}/{data}/props_to_tree"]
        package = ns.get(f"{task}/{data}/package")
        extra = f"{(package / ours - 1) * 100:+.1f}%" if package else ""
        cells = [ratio(f"{task}/{data}/{peer}", ours) for peer in PEERS]
        rows.append([task, data, f"{ours:.0f}", extra, *cells])
    header = "| task | data | props_to_tree ns/leaf | package | " + " | ".join(PEERS)
    yield table(header + " |", rows)

    shapes = dict.fromkeys(d.split()[0] for _, d in sets if "e+" in d)
    sizes = [s for s in SIZES if any(s in d for _, d in sets)]
    rows = []
    for shape in shapes:
        cells = []
        for task in ("flatten", "write back"):
            for size in sizes:
                ours = ns[f"{task}/{shape} {size}/props_to_tree"]
                python = ratio(f"{task}/{shape} {size}/python", ours)
                cells.append(f"{ours:.0f} ({python})")
        rows.append([shape, *cells])
    columns = [f"{task} {size}" for task in ("flatten", "write back") for size in sizes]
    yield (
        "ns per leaf of this module on synthetic shapes (the hand-written "
        "Python's time as a multiple):\n\n"
        + table(f"| shape | {' | '.join(columns)} |", rows)
    )

    lists = {tuple(n.split("/")[1:]): t for n, t in median.items() if n[:5] == "list/"}
    rows = []
    for data in dict.fromkeys(d for d, _ in lists):
        ours = lists[data, "props-to-tree"]
        cells = [
            f"{lists[data, p] / ours:.1f}x" if (data, p) in lists else "absent"
            for p in ("gron", "jq")
        ]
        rows.append([data, f"{ours * 1000:.0f} ms", *cells])
    yield table("| listing a botocore model | props-to-tree | gron | jq |", rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("results", type=Path)
    parser.add_argument("--readme", type=Path)
    args = parser.parse_args()
    text = "\n\n".join(tables(args.results))
    print(text)
    if args.readme:
        start, end = "<!-- bench:start -->", "<!-- bench:end -->"
        readme = args.readme.read_text()
        pattern = re.compile(re.escape(start) + ".*?" + re.escape(end), re.S)
        args.readme.write_text(pattern.sub(lambda _: f"{start}\n{text}\n{end}", readme))


if __name__ == "__main__":
    main()
