"""Benchmarks of props_to_tree against what a user would write or install.

Every implementation runs in this one process on the same data; each peer's
output is first checked against ours, so that the timings compare equal work.
Prints a table, and writes bench/results/results.json and ns_per_leaf.png.

    python bench/run.py [--quick] [--out DIR]
"""

import argparse
import gc
import gzip
import json
import platform
import statistics
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import botocore
import dpath
from flatdict import FlatDict
from flatten_dict import flatten as flatten_dict_flatten

from props_to_tree import _props_to_tree as ext

# --- The implementations ----------------------------------------------------


def python_flatten(tree: dict[str, Any]) -> dict[str, Any]:
    """The best hand-written equivalent: keys built by prefix concatenation."""
    out: dict[str, Any] = {}

    def walk(node: dict[str, Any], prefix: str) -> None:
        for key, value in node.items():
            if isinstance(value, dict):
                walk(value, prefix + key + ".")
            else:
                out[prefix + key] = value

    walk(tree, "")
    return out


def python_write_back(props: dict[str, Any], tree: Any) -> Any:
    for key, value in props.items():
        *branches, last = key.split(".")
        node = tree
        for component in branches:
            node = node[component]
        node[last] = value
    return tree


def flatdict_flatten(tree: dict[str, Any]) -> dict[str, Any]:
    return dict(FlatDict(tree, delimiter="."))


def dpath_write_back(props: dict[str, Any], tree: Any) -> Any:
    for key, value in props.items():
        dpath.set(tree, key, value, separator=".")
    return tree


FLATTEN: dict[str, Callable[[dict[str, Any]], dict[str, Any]]] = {
    "props_to_tree": ext._tree_to_props,
    "python": python_flatten,
    "flatten-dict": lambda tree: flatten_dict_flatten(tree, reducer="dot"),
    "flatdict": flatdict_flatten,
}
WRITE_BACK: dict[str, Callable[[dict[str, Any], Any], Any]] = {
    "props_to_tree": ext._props_to_tree,
    "python": python_write_back,
    "dpath": dpath_write_back,
}
# dpath matches every key as a glob against the whole tree, so its time per
# leaf grows with the tree: cap what it is given.
DPATH_MAX_LEAVES = 300


def comparable(impl: str, props: dict[str, Any]) -> dict[str, Any]:
    # flatdict keeps an empty branch as a leaf holding {}; the others drop it.
    if impl == "flatdict":
        return {k: v for k, v in props.items() if v != {}}
    return props


# --- Data -------------------------------------------------------------------


def botocore_documents() -> list[dict[str, Any]]:
    root = Path(botocore.__file__).parent / "data"
    files = sorted(root.glob("*/*/service-2.json.gz"))
    return [json.loads(gzip.decompress(f.read_bytes())) for f in files]


def small_config() -> dict[str, Any]:
    """About 30 leaves, depth 3: a service's settings."""
    return {
        "service": {
            "name": "inventory",
            "replicas": 3,
            "tags": ["api", "internal"],
            "http": {"host": "0.0.0.0", "port": 8080, "timeout": 30.0},
            "tls": {"enabled": True, "cert": "/etc/tls/cert.pem", "key": "k.pem"},
        },
        "db": {
            "host": "db.internal",
            "port": 5432,
            "name": "inventory",
            "user": "svc",
            "pool": {"min": 2, "max": 20, "idle": 300},
            "retry": {"count": 5, "backoff": 0.5, "max_backoff": 30},
        },
        "cache": {"url": "redis://cache:6379/0", "ttl": 600, "prefix": "inv:"},
        "logging": {
            "level": "info",
            "format": "json",
            "sinks": {"stdout": True, "file": "/var/log/inventory.log"},
        },
        "features": {"new_pricing": False, "bulk_import": True, "audit": True},
    }


def synthetic(shape: str, leaves: int) -> dict[str, Any]:
    """`leaves` leaves: wide (one level), balanced (fan-out 10), deep
    (fan-out 2) or long (fan-out 10 with 48-character keys)."""
    fan_out = {"wide": leaves, "balanced": 10, "deep": 2, "long": 10}[shape]
    width = 48 if shape == "long" else 0
    counter = iter(range(leaves))

    def build(count: int) -> dict[str, Any]:
        if count <= fan_out:
            return {f"{i:0{width}d}": next(counter) for i in range(count)}
        share, extra = divmod(count, fan_out)
        return {f"{i:0{width}d}": build(share + (i < extra)) for i in range(fan_out)}

    return build(leaves)


# --- Timing -----------------------------------------------------------------


def measure(run: Callable[[], object], repeats: int) -> list[float]:
    """Seconds per run: one warm-up, then `repeats` runs with the collector
    off, as timeit does, so that no run pays for another's garbage."""
    run()
    times = []
    gc.collect()
    gc.disable()
    try:
        for _ in range(repeats):
            start = time.perf_counter()
            run()
            times.append(time.perf_counter() - start)
    finally:
        gc.enable()
    return times


class Progress:
    def __init__(self, total: int) -> None:
        self.total, self.done = total, 0

    def step(self, what: str) -> None:
        self.done += 1
        line = f"[{self.done}/{self.total}] {what}"
        print(f"\r{line[:100]:<100}", end="", file=sys.stderr, flush=True)

    def close(self) -> None:
        print("\r" + " " * 100 + "\r", end="", file=sys.stderr, flush=True)


def record(task: str, data: str, impl: str, leaves: int, times: list[float]):
    per_leaf = [t / leaves * 1e9 for t in times]
    return {
        "task": task,
        "data": data,
        "impl": impl,
        "leaves": leaves,
        "runs": len(times),
        "ns_per_leaf_min": min(per_leaf),
        "ns_per_leaf_median": statistics.median(per_leaf),
        "spread_pct": (max(per_leaf) - min(per_leaf)) / min(per_leaf) * 100,
    }


def check_flatten(name: str, trees: list[dict[str, Any]]) -> None:
    ours = [ext._tree_to_props(t) for t in trees]
    for impl, fn in FLATTEN.items():
        theirs = [comparable(impl, fn(t)) for t in trees]
        if theirs != ours:
            raise SystemExit(f"{impl} flattens {name} differently")


def blank(tree: dict[str, Any]) -> dict[str, Any]:
    """The tree with every leaf set to None: dpath sets only existing keys."""
    return {k: blank(v) if isinstance(v, dict) else None for k, v in tree.items()}


def check_write_back(name: str, trees: list[dict[str, Any]], impl: str) -> None:
    for tree in trees:
        rebuilt = WRITE_BACK[impl](ext._tree_to_props(tree), blank(tree))
        if rebuilt != tree:
            raise SystemExit(f"{impl} writes {name} back differently")


def bench_set(
    name: str,
    trees: list[dict[str, Any]],
    repeats: int,
    progress: Progress,
    calls: int = 1,
) -> list[dict[str, Any]]:
    """Flattens every tree and writes every result back, `calls` times a run."""
    leaves = sum(len(ext._tree_to_props(t)) for t in trees) * calls
    results = []
    check_flatten(name, trees)
    for impl, fn in FLATTEN.items():
        progress.step(f"flatten {name}: {impl}")

        def flatten_all(fn=fn) -> None:
            for _ in range(calls):
                for tree in trees:
                    fn(tree)

        results.append(
            record("flatten", name, impl, leaves, measure(flatten_all, repeats))
        )

    props = [ext._tree_to_props(t) for t in trees]
    for impl, fn in WRITE_BACK.items():
        pairs, count, repeat = list(zip(props, trees, strict=True)), leaves, calls
        if impl == "dpath":
            pairs, count = capped(pairs)
            repeat = 1
            if not pairs:
                continue
        check_write_back(name, [tree for _, tree in pairs], impl)
        progress.step(f"write back {name}: {impl}")

        def write_all(fn=fn, pairs=pairs, repeat=repeat) -> None:
            for _ in range(repeat):
                for p, tree in pairs:
                    fn(p, tree)

        times = measure(write_all, repeats)
        results.append(record("write back", name, impl, count, times))
    return results


def capped(pairs):
    """The smallest trees, up to DPATH_MAX_LEAVES leaves in all, written once."""
    chosen, total = [], 0
    for p, tree in sorted(pairs, key=lambda pair: len(pair[0])):
        if total + len(p) > DPATH_MAX_LEAVES:
            break
        chosen.append((p, tree))
        total += len(p)
    return chosen, total


def steps(trees: list[dict[str, Any]]) -> int:
    smallest = min(len(ext._tree_to_props(t)) for t in trees)
    return len(FLATTEN) + len(WRITE_BACK) - (smallest > DPATH_MAX_LEAVES)


# --- Report -----------------------------------------------------------------


def table(results: list[dict[str, Any]]) -> str:
    rows = [
        "| task | data | leaves | implementation | ns/leaf (median) | min | spread "
        "| vs props_to_tree |",
        "|---|---|---:|---|---:|---:|---:|---:|",
    ]
    ours = {
        (r["task"], r["data"]): r["ns_per_leaf_median"]
        for r in results
        if r["impl"] == "props_to_tree"
    }
    for r in results:
        ratio = r["ns_per_leaf_median"] / ours[r["task"], r["data"]]
        rows.append(
            f"| {r['task']} | {r['data']} | {r['leaves']:,} | {r['impl']} "
            f"| {r['ns_per_leaf_median']:.1f} | {r['ns_per_leaf_min']:.1f} "
            f"| {r['spread_pct']:.0f}% | {ratio:.2f}x |"
        )
    return "\n".join(rows)


def plot(results: list[dict[str, Any]], shapes: list[str], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    tasks = ["flatten", "write back"]
    fig, axes = plt.subplots(
        len(tasks),
        len(shapes),
        figsize=(4 * len(shapes), 7),
        sharex=True,
        squeeze=False,
    )
    for row, task in enumerate(tasks):
        for col, shape in enumerate(shapes):
            ax = axes[row][col]
            impls = dict.fromkeys(r["impl"] for r in results if r["task"] == task)
            for impl in impls:
                points = sorted(
                    (r["leaves"], r["ns_per_leaf_median"])
                    for r in results
                    if r["task"] == task
                    and r["impl"] == impl
                    and r["data"].startswith(shape + " ")
                )
                if points:
                    xs, ys = zip(*points, strict=True)
                    ax.plot(xs, ys, marker="o", label=impl)
            ax.set_xscale("log")
            ax.set_yscale("log")
            ax.set_title(f"{task}: {shape}")
            ax.grid(True, which="both", alpha=0.3)
            if row == len(tasks) - 1:
                ax.set_xlabel("leaves")
            if col == 0:
                ax.set_ylabel("ns per leaf")
                ax.legend(fontsize="small")
    fig.tight_layout()
    fig.savefig(path, dpi=90)


def machine() -> str:
    cpu = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    system = f"{platform.system()} {platform.machine()}"
    return f"{cpu}, {system}, Python {platform.python_version()}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, few runs")
    parser.add_argument("--out", type=Path, default=Path(__file__).parent / "results")
    args = parser.parse_args()

    sizes = [1_000, 10_000] if args.quick else [1_000, 10_000, 100_000, 1_000_000]
    shapes = ["wide", "balanced", "deep", "long"]
    documents = botocore_documents()
    if args.quick:
        documents = documents[:20]
    repeats = 2 if args.quick else 5

    sets: list[tuple[str, list[dict[str, Any]], int, int]] = [
        (f"botocore ({len(documents)} documents)", documents, repeats, 1),
        ("small config x 2000", [small_config()], repeats * 2, 2000),
    ]
    for shape in shapes:
        for n in sizes:
            sets.append(
                (
                    f"{shape} {n:.0e}",
                    [synthetic(shape, n)],
                    max(2, repeats - (n >= 10**6) * 2),
                    1,
                )
            )

    progress = Progress(sum(steps(trees) for _, trees, _, _ in sets))
    results = []
    for name, trees, runs, calls in sets:
        results += bench_set(name, trees, runs, progress, calls)
    progress.close()

    args.out.mkdir(parents=True, exist_ok=True)
    report = {"machine": machine(), "results": results}
    (args.out / "results.json").write_text(json.dumps(report, indent=1))
    plot(results, shapes, args.out / "ns_per_leaf.png")
    print(f"Machine: {report['machine']}\n")
    print(table(results))
    print(f"\nwrote {args.out / 'results.json'} and {args.out / 'ns_per_leaf.png'}")


if __name__ == "__main__":
    main()
