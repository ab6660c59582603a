"""The command under load and on hostile input (`make stress`; not part of
`make test`), with figures for the README:

- K = 8, 20 and 50 runs of `-i --set kN=1` started together on one file, in
  each format: how many of the K edits the file keeps;
- K = 6, 12 and 30 runs of `-i --set kN=1` on the same three files (one of
  each format), each naming them in another order, started together: none
  may hang, and each file must keep every edit;
- runs of `-i` on a large file killed (SIGKILL) at random moments, then more
  killed while they write: the file always holds the old bytes or the new
  ones; the temporary files that such runs leave are counted (a SIGTERM
  leaves none), and those still there once one more run of `-i` has written
  the file (it removes them);
- alias bombs, with a time and a memory limit: refused, and how fast;
- peak memory of a listing, per byte of input, above that of a tiny file.

    python scripts/stress.py [--quick]
"""

import itertools
import json
import random
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

QUICK = "--quick" in sys.argv
# The console script: `python -m` from the sources would import them.
COMMAND = [str(Path(sys.executable).with_name("props-to-tree"))]
TEMPORARY = ".props-to-tree-"
GIB = 1 << 30

STARTS = {"json": '{"a": 0}\n', "toml": "a = 0\n", "yaml": "a: 0\n"}


def concurrent(directory: Path) -> None:
    for fmt, start in STARTS.items():
        for count in (8, 20) if QUICK else (8, 20, 50):
            path = directory / f"many.{fmt}"
            path.write_text(start)
            runs = [
                subprocess.Popen([*COMMAND, path, "-i", "--set", f"k{n}=1"])
                for n in range(count)
            ]
            statuses = [run.wait() for run in runs]
            listing = subprocess.run(
                [*COMMAND, path], capture_output=True, text=True, check=True
            ).stdout
            kept = sum(f"k{n} = 1" in listing.splitlines() for n in range(count))
            failed = sum(status != 0 for status in statuses)
            print(
                f"{fmt}: {count} runs together: {kept} of {count} edits kept, "
                f"{failed} runs failed"
            )


def crossed(directory: Path) -> None:
    """Runs that each edit the same three files, named in different orders,
    started together: none may hang, and every edit must be kept in every
    file (each run locks all three before it writes any)."""
    files = [directory / name for name in ("x.json", "y.toml", "z.yaml")]
    for count in (6, 12) if QUICK else (6, 12, 30):
        for path in files:
            path.write_text(STARTS[path.suffix[1:]])
        orders = itertools.cycle(itertools.permutations(files))
        started = time.monotonic()
        runs = [
            subprocess.Popen([*COMMAND, "-i", "--set", f"k{n}=1", *next(orders)])
            for n in range(count)
        ]
        try:
            statuses = [run.wait(timeout=120) for run in runs]
        except subprocess.TimeoutExpired:
            raise SystemExit(f"{count} runs over three files: one hangs") from None
        seconds = time.monotonic() - started
        kept = []
        for path in files:
            listing = subprocess.run(
                [*COMMAND, path], capture_output=True, text=True, check=True
            ).stdout.splitlines()
            kept.append(sum(f"k{n} = 1" in listing for n in range(count)))
        failed = sum(status != 0 for status in statuses)
        print(
            f"{count} runs over three files in different orders: "
            f"{'/'.join(map(str, kept))} of {count} edits kept, {failed} runs "
            f"failed, {seconds:.1f} s"
        )
        if failed or kept != [count] * 3:
            raise SystemExit("an edit was lost")


def killed(directory: Path) -> None:
    path = directory / "large.json"
    old = json.dumps(
        {f"k{n}": {"v": n, "s": "x" * 40} for n in range(200_000)}, indent=1
    )
    tries = 10 if QUICK else 40
    outcomes = {"old": 0, "new": 0}
    path.write_text(old)
    new = subprocess.run(
        [*COMMAND, path, "--set", "k0.v=-1"], capture_output=True, check=True
    ).stdout
    started = time.perf_counter()
    subprocess.run([*COMMAND, path, "-i", "--set", "k0.v=-1"], check=True)
    whole = time.perf_counter() - started  # a run from start to end
    # Left in place: a later run that writes the file removes them.
    left: set[str] = set()
    for attempt in range(tries):
        run = start(path, old)
        # Anywhere in the run: reading, writing, renaming, or done.
        time.sleep(random.uniform(0.0, 1.2 * whole))
        stop = signal.SIGTERM if attempt % 4 == 3 else signal.SIGKILL
        outcomes[stopped(run, stop, path, old, new)] += 1
        added = temporaries(directory) - left
        if stop == signal.SIGTERM and added:
            raise SystemExit(f"run {attempt}: SIGTERM left {sorted(added)}")
        left |= added
    at_random = len(left)
    # The moments above seldom fall in the write: these runs are killed in it.
    writing = 3 if QUICK else 10
    for _ in range(writing):
        run = start(path, old)
        while run.poll() is None and not temporaries(directory) - left:
            time.sleep(0.001)  # until its temporary file appears
        stopped(run, signal.SIGKILL, path, old, new)
        left |= temporaries(directory)
    there = len(temporaries(directory))
    path.write_text(old)  # so that it writes
    subprocess.run([*COMMAND, path, "-i", "--set", "k0.v=-1"], check=True)
    if path.read_bytes() != new:
        raise SystemExit("the run after the killed ones did not write the file")
    after = temporaries(directory)
    print(
        f"killed runs: {tries}, the file old {outcomes['old']} times and new "
        f"{outcomes['new']} times, never anything else; {at_random} temporary "
        f"files left by SIGKILL, none by SIGTERM; {writing} more killed as their "
        f"temporary file appeared left {len(left) - at_random}; {there} there "
        f"after the last kill, {len(after)} after one more run of -i"
    )
    for leftover in after:
        (directory / leftover).unlink()


def start(path: Path, old: str) -> subprocess.Popen[bytes]:
    path.write_text(old)
    return subprocess.Popen([*COMMAND, path, "-i", "--set", "k0.v=-1"])


def stopped(
    run: subprocess.Popen[bytes], stop: int, path: Path, old: str, new: bytes
) -> str:
    """What the file holds, "old" or "new", once `run` has been sent `stop`."""
    run.send_signal(stop)
    run.wait()
    data = path.read_bytes()
    if data not in (old.encode(), new):
        raise SystemExit("the file holds neither the old bytes nor the new")
    return "new" if data == new else "old"


def temporaries(directory: Path) -> set[str]:
    return {p.name for p in directory.iterdir() if TEMPORARY in p.name}


# Runs the command with a memory limit and prints its status and peak: a
# small process forks it, since a child counts the pages of the process it
# was forked from, and this script holds large files.
MEASURE = """
import resource, subprocess, sys
limit = int(sys.argv[1])
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
quiet = subprocess.DEVNULL
status = subprocess.call(sys.argv[2:], stdout=quiet, stderr=quiet)
print(status, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
"""


def limited(
    args: list[object], memory: int = 2 * GIB, seconds: int = 10
) -> tuple[int, float, int]:
    """(status, seconds, peak KiB) of the command under limits."""
    started = time.perf_counter()
    measured = subprocess.run(
        [sys.executable, "-c", MEASURE, str(memory), *COMMAND, *map(str, args)],
        capture_output=True,
        text=True,
        check=True,
    )
    elapsed = time.perf_counter() - started
    if elapsed > seconds:
        raise SystemExit(f"{args} took {elapsed:.1f} s")
    status, peak = map(int, measured.stdout.split())
    return status, elapsed, peak


def bombs(directory: Path) -> None:
    nested_lists = ['a: &a ["lol","lol","lol","lol","lol","lol","lol","lol","lol"]']
    nested_maps = ["a: &a {x: 1, y: 2}"]
    for previous, name in itertools.pairwise("abcdefghi"):
        nested_lists.append(
            f"{name}: &{name} [" + ", ".join([f"*{previous}"] * 9) + "]"
        )
        maps = ", ".join(f"k{n}: *{previous}" for n in range(9))
        nested_maps.append(f"{name}: &{name} {{{maps}}}")
    files = {
        "nine levels of nine aliases, lists": "\n".join(nested_lists) + "\n",
        "nine levels of nine aliases, maps": "\n".join(nested_maps) + "\n",
        "one anchor, 2,000,000 aliases": "base: &b [x]\nuse:\n"
        + "  - *b\n" * 2_000_000,
    }
    for what, text in files.items():
        path = directory / "bomb.yaml"
        path.write_text(text)
        for args in ([path], [path, "--get", "a"], [path, "--set", "a=1"]):
            status, elapsed, peak = limited(args)
            print(
                f"{what}, {' '.join(map(str, args[1:])) or 'listing'}: status {status} "
                f"in {elapsed:.2f} s, {peak / 1024:.0f} MiB"
            )


def memory(directory: Path) -> None:
    import gzip

    import botocore
    import yaml

    models = sorted(
        Path(botocore.__file__).parent.glob("data/*/*/service-2.json.gz"),
        key=lambda f: f.stat().st_size,
    )
    largest = [json.loads(gzip.decompress(f.read_bytes())) for f in models[-12:]]
    dense = json.loads(
        gzip.decompress(
            next(f for f in models if f.stat().st_size > 400_000).read_bytes()
        )
    )
    files = {
        "YAML, one 10 MB scalar": (
            "yaml",
            "text: " + json.dumps("x" * 10_000_000) + "\n",
        ),
        "YAML, dense, 3 MB": (
            "yaml",
            yaml.safe_dump(dense, sort_keys=False, width=80),
        ),
        "JSON, a million keys": (
            "json",
            json.dumps({f"key{n}": n for n in range(1_000_000)}),
        ),
        "JSON, 18 MB model": ("json", json.dumps(dict(enumerate(largest)), indent=1)),
        "TOML, 100,000 keys": (
            "toml",
            "".join(f"k{n} = {n}\n" for n in range(100_000)),
        ),
    }
    base = {}
    for fmt, tiny in STARTS.items():
        path = directory / f"tiny.{fmt}"
        path.write_text(tiny)
        base[fmt] = limited([path])[2]
    for what, (fmt, text) in files.items():
        if QUICK and "18 MB" in what:
            continue
        path = directory / f"big.{fmt}"
        path.write_text(text)
        status, elapsed, peak = limited([path], memory=8 * GIB, seconds=120)
        size = path.stat().st_size
        above = (peak - base[fmt]) * 1024 / size
        print(
            f"{what} ({size / 1e6:.1f} MB): status {status}, {elapsed:.2f} s, "
            f"{peak / 1024:.0f} MiB peak, {above:.1f} bytes per byte above a tiny file"
        )


def main() -> None:
    with tempfile.TemporaryDirectory() as directory:
        for part in (concurrent, crossed, killed, bombs, memory):
            part(Path(directory))


if __name__ == "__main__":
    main()
