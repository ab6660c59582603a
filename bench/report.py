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


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|---|" + "---:|" * (len(header) - 1)]
    return "\n".join(lines + ["| " + " | ".join(row) + " |" for row in rows])


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

    rows, shapes = [], {}
    for task, data in dict.fromkeys(tuple(name.split("/")[:2]) for name in ns):
        ours = ns[f"{task}/{data}/props_to_tree"]
        if "e+" in data:  # a synthetic shape: "deep 1e+03"
            shape, size = data.split()
            shapes.setdefault(shape, {})[f"{task} {size}"] = (
                f"{ours:.0f} ({ratio(f'{task}/{data}/python', ours)})"
            )
            continue
        package = ns.get(f"{task}/{data}/package")
        extra = f"{(package / ours - 1) * 100:+.1f}%" if package else ""
        cells = [ratio(f"{task}/{data}/{peer}", ours) for peer in PEERS]
        rows.append([task, data, f"{ours:.0f}", extra, *cells])
    yield table(["task", "data", "props_to_tree ns/leaf", "package", *PEERS], rows)

    columns = sorted(
        {c for cells in shapes.values() for c in cells},
        key=lambda c: (c[0] == "w", float(c.split()[-1])),
    )
    rows = [
        [shape, *(cells.get(c, "") for c in columns)] for shape, cells in shapes.items()
    ]
    yield (
        "ns per leaf of this module on synthetic shapes, with the hand-written "
        "Python's time as a multiple:\n\n" + table(["shape", *columns], rows)
    )

    commands = {tuple(n.split("/")): t for n, t in median.items() if "/" in n}
    rows = []
    for task, data in dict.fromkeys(
        n[:2] for n in commands if n[0] in ("list", "edit")
    ):
        ours = commands[task, data, "props-to-tree"]
        floor = commands.get((task, data, "floor"))
        if (task, data, "cat") in commands:  # a JSON listing's
            floor = commands[task, data, "python -c pass"] + commands[task, data, "cat"]
        peers = [
            f"{commands[task, data, p] / ours:.1f}x"
            if (task, data, p) in commands
            else ""
            for p in ("gron", "jq", "yq")
        ]
        over = f"{ours / floor:.2f}x" if floor else ""
        parse = commands.get((task, data, "libyaml"))
        parsed = f"{ours / parse:.2f}x ({parse * 1000:.0f} ms)" if parse else ""
        rows.append([task, data, f"{ours * 1000:.0f} ms", over, parsed, *peers])
    yield (
        "The command, each run a process of its own (start-up included); an "
        "edit sets one value, which changes one line. A JSON listing's floor "
        "is `python -c pass` and `cat FILE` together: the interpreter's start "
        "and a read of the file. Another listing's is a process that starts, "
        "imports the command, reads the file and parses it, and prints "
        "nothing (`bench/floor.py`). The listing's time over its floor, and a "
        "YAML listing's over a C program's parse of the file by libyaml, "
        "events and marks (`bench/yaml_floor.c`); a peer's time over this "
        "one's:\n\n"
        + table(
            [
                "command",
                "data",
                "props-to-tree",
                "over its floor",
                "over libyaml's parse",
                "gron",
                "jq",
                "yq",
            ],
            rows,
        )
    )

    python = commands.get(("start-up", "python -c pass", "python"))
    rows = [
        [data, f"{took * 1000:.1f} ms", f"{took / python:.2f}x"]
        for (task, data, _), took in commands.items()
        if task == "start-up" and python and data != "python -c pass"
    ]
    if rows:
        yield (
            f"Start-up: the common runs on a 0.3 kB file of each format (the "
            f"examples' service file; `--set` prints the changed document), "
            f"each a process of its own, against `python -c pass` "
            f"({python * 1000:.1f} ms):\n\n"
            + table(["run", "props-to-tree", "over python -c pass"], rows)
        )

    rows = []
    for task, data in dict.fromkeys(n[:2] for n in commands if n[0].startswith("to ")):
        ours = commands[task, data, "props-to-tree"]
        for (each, name, peer), took in commands.items():
            if (each, name) == (task, data) and peer != "props-to-tree":
                rows.append(
                    [
                        f"--{task}",
                        data,
                        f"{ours * 1000:.0f} ms",
                        peer,
                        f"{took * 1000:.0f} ms",
                        f"{took / ours:.1f}x",
                    ]
                )
    if rows:
        yield (
            "Converting, each run a process of its own, every output read back "
            "as the same data: `--to json` of the 4 MB model written as YAML "
            "against the yq package (`yq .`), `--to yaml` of the 18 MB JSON "
            "against a Python process that loads it and runs PyYAML's "
            "`yaml.dump` with its C writer (`CSafeDumper`):\n\n"
            + table(
                [
                    "command",
                    "data",
                    "props-to-tree",
                    "peer",
                    "peer's time",
                    "props-to-tree is faster by",
                ],
                rows,
            )
        )

    yield from api_table(path, median)
    yield from views_table(median)

    parts = {tuple(n.split("/")[1:]): t for n, t in median.items() if n[:6] == "split/"}
    split = list(dict.fromkeys(part for _, part in parts))  # as run.py times them
    rows = [
        [data, *(f"{parts[data, part] * 1000:.1f} ms" for part in split)]
        for data in dict.fromkeys(data for data, _ in parts)
        if all((data, part) in parts for part in split)
    ]
    if rows:
        yield (
            "The JSON listing in one process, each part timed alone: reading "
            "the file's bytes; checking them and listing them as it goes, one "
            "walk of the native module (check: the call; list: the call and "
            "its chunk taken); writing the chunk, as the command's output "
            "code does, to /dev/null; and, for comparison, what the command "
            "does with a "
            "document it does not list from the bytes (JSON with comments, a "
            "coloured listing): reading and parsing it with json.loads, and "
            "the native walk of the tree:\n\n" + table(["data", *split], rows)
        )

    rows = [
        [
            data,
            f"{plain * 1000:.0f} ms",
            f"{chosen * 1000:.0f} ms",
            f"{chosen / plain:.2f}x",
        ]
        for (task, data, _), plain in commands.items()
        if task == "edit [N]" and (chosen := commands.get(("edit [.=V]", data, _)))
    ]
    if rows:
        yield (
            "The last value of the models' longest list (EC2's 1,437 instance "
            "types) set by its index, `enum[N]`, and by a selector that "
            'reads every item before it, `enum[.="..."]`, each run a process '
            "of its own:\n\n"
            + table(["data", "by index", "by selector", "ratio"], rows)
        )
    rows = []
    one = commands.get(("edit 100 files", "package.json", "props-to-tree"))
    loop = commands.get(("edit 100 files", "package.json", "a loop of runs"))
    if one and loop:
        rows.append(
            ["one run, 100 files", f"{one * 1000:.0f} ms", f"{loop / one:.1f}x"]
        )
    printed = commands.get(("edit", "18 MB JSON", "props-to-tree"))
    diffed = commands.get(("edit --diff", "18 MB JSON", "props-to-tree"))
    if printed and diffed:
        ratio = f"{diffed / printed:.2f}x"
        rows.append(["18 MB, one change, --diff", f"{diffed * 1000:.0f} ms", ratio])
    if rows:
        yield (
            "`-i --set` on 100 package.json files in one run, and how many times "
            "a shell loop of 100 runs takes; one change to the 18 MB model "
            "printed as a `--diff`, and its time over that of the changed "
            "document printed:\n\n" + table(["run", "time", "ratio"], rows)
        )


def api_table(path, median):
    """The editing API against the round-trip libraries, in process."""
    lines_path = path.with_suffix(".lines.json")
    lines = json.loads(lines_path.read_text()) if lines_path.exists() else {}
    rows = []
    for data, changed in lines.items():
        ours = median.get(f"api/{data}/props_to_tree")
        for tool, count in changed.items():
            time = median.get(f"api/{data}/{tool}")
            if ours and time:
                shown = "" if tool == "props_to_tree" else f"{time / ours:.1f}x"
                rows.append([data, tool, f"{time * 1000:.0f} ms", shown, str(count)])
    if rows:
        yield (
            "One value set in a document in memory, by the editing API and by "
            "the round-trip library a Python program would use instead, Python's "
            "collector on as in a program; tomlkit re-reads what it wrote, as the "
            "API does (a ratio is the other's time over the API's):\n\n"
            + table(["data", "editor", "time", "ratio", "lines changed"], rows)
        )


def views_table(median):
    """Views against plain data, and appends against the round-trip
    libraries, in process."""
    rows = []
    for fmt in ("json", "toml", "yaml"):
        for place in ("table", "list"):
            views = median.get(f"views/{fmt} {place}/views")
            plain = median.get(f"views/{fmt} {place}/plain")
            if views and plain:
                rows.append(
                    [
                        f"{fmt.upper()} {place} of 10,000",
                        f"{views * 1000:.1f} ms",
                        f"{plain * 1000:.1f} ms",
                        f"{views / plain:.2f}x",
                    ]
                )
    if rows:
        yield (
            "Every member of a table, and every item of a list, read through a "
            'view (`for key, value in doc["table"].items()`), against '
            "`doc.data` and the same loop (a ratio is the view's time over "
            "plain data's):\n\n" + table(["data", "views", "doc.data", "ratio"], rows)
        )
    rows = []
    for fmt, peer in (("toml", "tomlkit"), ("yaml", "ruamel.yaml")):
        ours = median.get(f"appends/{fmt}/props_to_tree")
        theirs = median.get(f"appends/{fmt}/{peer}")
        if ours and theirs:
            rows.append(
                [
                    fmt.upper(),
                    f"{ours * 1000:.0f} ms",
                    peer,
                    f"{theirs * 1000:.0f} ms",
                    f"{ours / theirs:.2f}x",
                ]
            )
    if rows:
        yield (
            "1,000 appends to a list of 1,000 strings, the text read first and "
            "written out after, against the round-trip library doing the same "
            "and dumping once (a ratio is the API's time over the library's):\n\n"
            + table(["data", "props_to_tree", "library", "its time", "ratio"], rows)
        )


def _marked(readme, name, text):
    marked = re.compile(f"(<!-- {name}:start -->\n).*?(<!-- {name}:end -->)", re.S)
    return marked.sub(lambda m: m[1] + text + "\n" + m[2], readme)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("results", type=Path)
    parser.add_argument("--readme", type=Path)
    args = parser.parse_args()
    text = "\n\n".join(tables(args.results))
    print(text)
    if args.readme:
        suite = pyperf.BenchmarkSuite.load(str(args.results))
        median = {b.get_name(): b.median() for b in suite.get_benchmarks()}
        readme = _marked(args.readme.read_text(), "bench", text)
        api = "\n\n".join([*api_table(args.results, median), *views_table(median)])
        args.readme.write_text(_marked(readme, "api", api))


if __name__ == "__main__":
    main()
