"""Both functions timed by pyperf against what a user would write or install,
each peer's output first checked against ours, and the command's listing
against gron and jq and against its floor (bench/floor.py: start, read and
parse, print nothing), its time split in process: python bench/run.py
[--quick] -o RESULTS [pyperf options]
"""

import functools
import gc
import gzip
import itertools
import json
import os
import random
import shutil
import subprocess
import sys
import time
from pathlib import Path

import botocore
import dpath
import pyperf
from flatdict import FlatDict
from flatten_dict import flatten as flatten_dict

import props_to_tree
from props_to_tree import _formats as formats
from props_to_tree import _props_to_tree as ext
from props_to_tree._command import cli
from props_to_tree._engine import listing, paths

QUICK = "--quick" in sys.argv
ROOT = Path(__file__).resolve().parent.parent


def python_flatten(tree, prefix="", out=None):
    """The best hand-written equivalent: keys built by prefix concatenation."""
    out = {} if out is None else out
    for key, value in tree.items():
        if isinstance(value, dict):
            python_flatten(value, prefix + key + ".", out)
        else:
            out[prefix + key] = value
    return out


def python_write_back(props, tree):
    for key, value in props.items():
        *branches, last = key.split(".")
        node = tree
        for component in branches:
            node = node[component]
        node[last] = value
    return tree


def pandas_flatten(tree):
    import pandas  # slow to import: only where it is timed

    return pandas.json_normalize(tree, sep=".").to_dict("records")[0]


FLATTEN = {
    "props_to_tree": ext._tree_to_props,
    "python": python_flatten,
    "flatten-dict": lambda tree: flatten_dict(tree, reducer="dot"),
    "flatdict": lambda tree: dict(FlatDict(tree, delimiter=".")),
    "pandas": pandas_flatten,
}
WRITE_BACK = {
    "props_to_tree": ext._props_to_tree,
    "package": props_to_tree.write_back,  # the extension inside a try block
    "python": python_write_back,
    "dpath": lambda p, t: [dpath.set(t, k, v, separator=".") for k, v in p.items()],
}
TASKS = {"flatten": FLATTEN, "write back": WRITE_BACK}


def botocore_files():
    """The service models, from the smallest file to the largest."""
    files = Path(botocore.__file__).parent.glob("data/*/*/service-2.json.gz")
    return sorted(files, key=lambda f: f.stat().st_size)


@functools.cache
def botocore_models():
    files = botocore_files()[: 20 if QUICK else None]
    return [json.loads(gzip.decompress(f.read_bytes())) for f in files]


def synthetic(shape, leaves):
    """wide (one level), balanced (fan-out 10), deep (fan-out 2) or long
    (fan-out 10, 48-character keys)."""
    fan_out = {"wide": leaves, "balanced": 10, "deep": 2, "long": 10}[shape]
    width, counter = 48 if shape == "long" else 0, iter(range(leaves))

    def build(count):
        if count <= fan_out:
            return {f"{i:0{width}d}": next(counter) for i in range(count)}
        share, extra = divmod(count, fan_out)
        return {f"{i:0{width}d}": build(share + (i < extra)) for i in range(fan_out)}

    return [build(leaves)]


def datasets():
    """name: (trees, calls of each per run, whether all peers take part)."""
    config = json.loads((ROOT / "examples" / "service.json").read_text())
    sets = {
        "botocore": (botocore_models, 1, 1),
        "small config x2000": (lambda: [config], 2000, 1),
    }
    for shape in ("wide", "balanced", "deep", "long"):
        for n in (10**3,) if QUICK else (10**3, 10**4, 10**5, 10**6):
            sets[f"{shape} {n:.0e}"] = (functools.partial(synthetic, shape, n), 1, 0)
    return sets


# Their time per leaf grows with the tree (dpath matches every key against the
# whole tree, pandas makes a column per leaf): they get the smallest trees,
# 300 leaves in all, each once a run.
CAPPED = {"dpath", "pandas"}


def calls(task, impl, name):
    """The arguments of each call of a run.  Write-backs go into skeletons of
    the trees, leaves None, since dpath sets only keys that exist."""
    trees, repeat, _ = datasets()[name]
    chosen, total = [], 0
    for tree in trees():
        props = ext._tree_to_props(tree)
        total += len(props)
        if impl in CAPPED and total > 300:
            break
        chosen.append((tree,) if task == "flatten" else (props, skeleton(tree)))
    return chosen if impl in CAPPED else chosen * repeat


def skeleton(tree):
    return {k: skeleton(v) if isinstance(v, dict) else None for k, v in tree.items()}


def check(task, impl, args):
    """The leaves met, once `impl` is shown to do what we do."""
    for one in args:
        done, want = TASKS[task][impl](*one), one[0]
        if task == "flatten":  # flatdict keeps an empty branch as {}
            done, want = (
                {k: v for k, v in done.items() if v != {}},
                ext._tree_to_props(*one),
            )
        if (done if task == "flatten" else ext._tree_to_props(one[1])) != want:
            raise SystemExit(f"{impl} does {task} differently")
    return sum(len(ext._tree_to_props(one[-1])) for one in args)


def time_calls(loops, task, impl, name):
    fn, args = TASKS[task][impl], calls(task, impl, name)
    start = time.perf_counter()
    for _ in range(loops):
        for one in args:
            fn(*one)
    return time.perf_counter() - start


# Every scalar and empty list or object, items as [N], as the command lists.
JQ = 'paths(type != "object" and type != "array" or length == 0) as $p'
JQ += ' | ($p | map(if type == "number" then "[\\(.)]" else ".\\(.)" end) | add)'
JQ += ' as $k | "\\($k | ltrimstr(".")) = \\(getpath($p) | tojson)"'


# What a quick run (CI's) times of the files: one of each format it lists.
QUICK_FILES = ("4 MB JSON", "0.5 MB YAML", "3 MB Kubernetes YAML")


def bench_files():
    """botocore's largest model (4 MB) and its 12 largest in one document
    (18 MB) as JSON, a JSON document of numbers (12 MB: 600,000 floats of
    every size), and a 0.5 MB model as block YAML folded at 80 columns, as
    YAML writers do."""
    data = ROOT / "build" / "bench-data"
    paths = {
        "4 MB JSON": data / "4MB.json",
        "18 MB JSON": data / "18MB.json",
        "12 MB numbers JSON": data / "numbers.json",
        "0.5 MB YAML": data / "0.5MB.yaml",
        "4 MB YAML": data / "4MB.yaml",
        "3 MB Kubernetes YAML": data / "k8s.yaml",
    }
    if not all(path.exists() for path in paths.values()):
        import yaml

        data.mkdir(parents=True, exist_ok=True)
        files = botocore_files()
        largest = [json.loads(gzip.decompress(f.read_bytes())) for f in files[-12:]]
        paths["4 MB JSON"].write_text(json.dumps(largest[-1], indent=1))
        paths["18 MB JSON"].write_text(json.dumps(dict(enumerate(largest)), indent=1))
        half = next(f for f in files if f.stat().st_size > 60_000)
        model = json.loads(gzip.decompress(half.read_bytes()))
        paths["0.5 MB YAML"].write_text(
            yaml.safe_dump(model, sort_keys=False, width=80)
        )
        paths["4 MB YAML"].write_text(
            yaml.safe_dump(largest[-1], sort_keys=False, width=80)
        )
        paths["3 MB Kubernetes YAML"].write_text(kubernetes_stream(3_000_000))
        draw = random.Random(29)
        numbers = [draw.random() * 10 ** draw.randint(-5, 5) for _ in range(600_000)]
        paths["12 MB numbers JSON"].write_text(json.dumps({"values": numbers}))
    return paths


def kubernetes_stream(size):
    """A stream of Kubernetes manifests, as `kubectl get -o yaml` and Helm's
    templates write them, of about `size` bytes: a Deployment, its Service
    and a ConfigMap for each app, each document after a `---`."""
    apps = []
    for number in itertools.count():
        name = f"app-{number:04d}"
        labels = f"    app.kubernetes.io/name: {name}\n    tier: backend\n"
        apps.append(
            "---\napiVersion: apps/v1\nkind: Deployment\nmetadata:\n"
            f"  name: {name}\n  namespace: prod\n  labels:\n{labels}"
            '  annotations:\n    deployment.kubernetes.io/revision: "3"\n'
            "spec:\n  replicas: 3\n  selector:\n    matchLabels:\n"
            f"      app.kubernetes.io/name: {name}\n  template:\n    metadata:\n"
            f"      labels:\n        app.kubernetes.io/name: {name}\n    spec:\n"
            "      containers:\n"
            f"        - name: {name}\n"
            f"          image: registry.example.com/{name}:1.{number % 40}.2\n"
            "          ports:\n            - containerPort: 8080\n"
            "              protocol: TCP\n          env:\n"
            "            - name: LOG_LEVEL\n              value: info\n"
            "            - name: DATABASE_URL\n              valueFrom:\n"
            "                secretKeyRef: {name: db, key: url}\n"
            "          resources:\n            limits: {cpu: 500m, memory: 256Mi}\n"
            "            requests: {cpu: 100m, memory: 128Mi}\n"
            "          readinessProbe:\n"
            "            httpGet: {path: /healthz, port: 8080}\n"
            "            initialDelaySeconds: 5\n"
            "---\napiVersion: v1\nkind: Service\nmetadata:\n"
            f"  name: {name}\n  namespace: prod\nspec:\n  type: ClusterIP\n"
            f"  selector:\n    app.kubernetes.io/name: {name}\n"
            "  ports:\n    - port: 80\n      targetPort: 8080\n"
            "---\napiVersion: v1\nkind: ConfigMap\nmetadata:\n"
            f"  name: {name}-config\n  namespace: prod\ndata:\n"
            '  settings.json: |\n    {"feature": true, "retries": 3}\n'
            f"  owner: team-{number % 7}@example.com\n"
        )
        if sum(map(len, apps)) >= size:
            return "".join(apps)
    return ""


@functools.cache
def yaml_floor():
    """libyaml's parse, built here: the YAML listing's floor."""
    made = ROOT / "build" / "yaml-floor"
    source = ROOT / "bench" / "yaml_floor.c"
    if not made.exists() or made.stat().st_mtime < source.stat().st_mtime:
        made.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(
            ["cc", "-O2", str(source), "-o", str(made), "-l:libyaml.a"], check=True
        )
    return str(made)


# One value set in a document in memory by the editing API, and by the
# round-trip libraries a Python program would otherwise use.
SET = ("metadata", "serviceId")


def api_files():
    """(format, file, the keys of the value set): the YAML models of 0.5 and
    4 MB, the smaller written as TOML, and this project's pyproject.toml."""
    yaml_path = bench_files()["0.5 MB YAML"]
    toml_path = yaml_path.with_suffix(".toml")
    if not toml_path.exists():
        import tomlkit
        import yaml

        toml_path.write_text(tomlkit.dumps(yaml.safe_load(yaml_path.read_text())))
    found = {"0.5 MB YAML": ("yaml", yaml_path, SET)}
    if not QUICK:  # ruamel.yaml takes seconds over it
        found["4 MB YAML"] = ("yaml", bench_files()["4 MB YAML"], SET)
    found["0.5 MB TOML"] = ("toml", toml_path, SET)
    found["3 kB pyproject"] = ("toml", ROOT / "pyproject.toml", ("project", "version"))
    return found


def _ours(fmt, text, keys):
    doc = props_to_tree.Document(text, fmt)
    doc[".".join(keys)] = "changed"
    return doc.text


def _ruamel(_, text, keys):
    import io

    from ruamel.yaml import YAML

    yaml = YAML()  # round-trip: comments and order kept
    data = yaml.load(text)
    data[keys[0]][keys[1]] = "changed"
    out = io.StringIO()
    yaml.dump(data, out)
    return out.getvalue()


def _tomlkit(_, text, keys):
    import tomlkit

    document = tomlkit.parse(text)
    document[keys[0]][keys[1]] = "changed"
    out = tomlkit.dumps(document)
    tomlkit.parse(out)  # as the API re-reads what it made, to check it
    return out


API_EDITORS = {"yaml": {"props_to_tree": _ours, "ruamel.yaml": _ruamel}}
API_EDITORS["toml"] = {"props_to_tree": _ours, "tomlkit": _tomlkit}


def api_lines(name):
    """How many lines each editor changes, checked to set the value."""
    import yaml

    fmt, path, keys = api_files()[name]
    text = path.read_text()
    read = {"yaml": yaml.safe_load, "toml": __import__("tomllib").loads}[fmt]
    found = {}
    for tool, edit in API_EDITORS[fmt].items():
        out = edit(fmt, text, keys)
        if read(out)[keys[0]][keys[1]] != "changed":
            raise SystemExit(f"{tool} did not set the value in {name}")
        old, new = text.splitlines(), out.splitlines()
        import difflib

        found[tool] = sum(
            1
            for line in difflib.unified_diff(old, new, n=0, lineterm="")
            if line[:1] == "-" and not line.startswith("---")
        )
    return found


def time_api(loops, name, tool):
    """With Python's collector on, as a user's program runs."""
    fmt, path, keys = api_files()[name]
    text = path.read_text()
    edit = API_EDITORS[fmt][tool]
    gc.enable()
    started = time.perf_counter()
    for _ in range(loops):
        edit(fmt, text, keys)
    return time.perf_counter() - started


# Views: a 10,000-member table and a 10,000-item list read through views,
# against the document's plain data and the same loop; 1,000 appends to a
# list of 1,000, read and written out, against the round-trip libraries.
VIEWED = 10_000
APPENDS = 1_000
VIEW_FORMATS = ("json", "toml", "yaml")


@functools.cache
def view_texts():
    """Written by hand: a round-trip library's writer took seconds, in each
    of pyperf's worker processes."""
    keys = [f"key{i}" for i in range(VIEWED)]
    items = [f"item{i}" for i in range(VIEWED)]
    data = {"table": {key: i for i, key in enumerate(keys)}, "list": items}
    return {
        "json": json.dumps(data, indent=2),
        "toml": "list = [\n"
        + "".join(f'    "{item}",\n' for item in items)
        + "]\n\n[table]\n"
        + "".join(f"{key} = {i}\n" for i, key in enumerate(keys)),
        "yaml": "table:\n"
        + "".join(f"  {key}: {i}\n" for i, key in enumerate(keys))
        + "list:\n"
        + "".join(f"  - {item}\n" for item in items),
    }


@functools.cache
def _viewed_document(fmt):
    return props_to_tree.Document(view_texts()[fmt], fmt)


def _loop(place, fmt, way):
    doc = _viewed_document(fmt)
    found = doc[place] if way == "views" else doc.data[place]
    count = 0
    for _ in found.items() if place == "table" else found:
        count += 1
    return count


def time_views(loops, place, fmt, way):
    started = time.perf_counter()
    for _ in range(loops):
        _loop(place, fmt, way)
    return time.perf_counter() - started


def append_texts():
    items = [f"item{i}" for i in range(APPENDS)]
    return {
        "toml": "[project]\nitems = [\n"
        + "".join(f'  "{i}",\n' for i in items)
        + "]\n",
        "yaml": "project:\n  items:\n" + "".join(f"    - {i}\n" for i in items),
    }


def _appended_ours(fmt, text):
    doc = props_to_tree.Document(text, fmt)
    items = doc["project"]["items"]
    for number in range(APPENDS):
        items.append(f"new{number}")
    return doc.text


def _appended_tomlkit(_, text):
    import tomlkit

    document = tomlkit.parse(text)
    items = document["project"]["items"]
    for number in range(APPENDS):
        items.append(f"new{number}")
    return tomlkit.dumps(document)


def _appended_ruamel(_, text):
    import io

    from ruamel.yaml import YAML

    yaml = YAML()
    data = yaml.load(text)
    items = data["project"]["items"]
    for number in range(APPENDS):
        items.append(f"new{number}")
    out = io.StringIO()
    yaml.dump(data, out)
    return out.getvalue()


APPENDERS = {
    "toml": {"props_to_tree": _appended_ours, "tomlkit": _appended_tomlkit},
    "yaml": {"props_to_tree": _appended_ours, "ruamel.yaml": _appended_ruamel},
}


def check_appends():
    """Every appender's text reads as the list with its new items."""
    import tomllib

    import yaml

    read = {"toml": tomllib.loads, "yaml": yaml.safe_load}
    for fmt, text in append_texts().items():
        for tool, append in APPENDERS[fmt].items():
            items = read[fmt](append(fmt, text))["project"]["items"]
            if len(items) != 2 * APPENDS or items[-1] != f"new{APPENDS - 1}":
                raise SystemExit(f"{tool} did not append to the {fmt} list")


def time_appends(loops, fmt, tool):
    text = append_texts()[fmt]
    append = APPENDERS[fmt][tool]
    started = time.perf_counter()
    for _ in range(loops):
        append(fmt, text)
    return time.perf_counter() - started


def commands():
    """(task, data, tool, command): listing against gron, jq and yq; one
    edit, which must change one line, alone."""
    # The console script: `python -m` here would import the sources.
    ours = str(Path(sys.executable).with_name("props-to-tree"))
    floor = [sys.executable, str(ROOT / "bench" / "floor.py")]
    # Start-up: a small file's listing is nearly all of it.
    small = ROOT / "examples" / "service.json"
    floor_json = [sys.executable, "-c", "pass"]
    yield "list", "0.3 kB JSON", "props-to-tree", [ours, str(small)]
    yield "list", "0.3 kB JSON", "python -c pass", floor_json
    yield "list", "0.3 kB JSON", "cat", ["cat", str(small)]
    # Start-up of each format's common runs, against the interpreter's.
    yield "start-up", "python -c pass", "python", floor_json
    for suffix in ("json", "toml", "yaml"):
        file = str(ROOT / "examples" / f"service.{suffix}")
        yield "start-up", f"list 0.3 kB {suffix.upper()}", "props-to-tree", [ours, file]
        get = [ours, file, "--get", "service.name"]
        yield "start-up", f"--get 0.3 kB {suffix.upper()}", "props-to-tree", get
        setting = [ours, file, "--set", "service.replicas=4"]
        yield "start-up", f"--set 0.3 kB {suffix.upper()}", "props-to-tree", setting
    # A JSON listing's floor is the interpreter's start and a read of the file
    # by cat: the listing neither parses the text nor makes a value of it.
    for name, path in bench_files().items():
        if QUICK and name not in QUICK_FILES:
            continue
        yield "list", name, "props-to-tree", [ours, str(path)]
        if name.endswith("JSON"):
            yield "list", name, "python -c pass", floor_json
            yield "list", name, "cat", ["cat", str(path)]
            yield "list", name, "gron", ["gron", str(path)]
            yield "list", name, "jq", ["jq", "-r", JQ, str(path)]
        else:
            yield "list", name, "floor", [*floor, str(path)]
        if name.endswith("YAML"):
            yield "list", name, "libyaml", [yaml_floor(), str(path)]
        if name.startswith("12 MB"):
            continue  # one value: nothing to edit but a number among 600,000
        if not name.endswith("JSON"):
            yield (
                "list",
                name,
                "yq",
                [str(Path(sys.executable).with_name("yq")), "-c", ".", str(path)],
            )
        if name.startswith("3 MB Kubernetes"):
            continue  # listed: its documents are edited as any YAML is
        top = "0." if name.startswith("18") else ""
        edit = [ours, str(path), "--set", f"{top}metadata.serviceId=changed"]
        _one_line(edit, path, name)
        yield "edit", name, "props-to-tree", edit
        if name.startswith("18"):
            yield "edit --diff", name, "props-to-tree", [*edit, "--diff"]
        if name.endswith("JSON"):
            # The same value by its index and by a selector, the last item
            # of the model's longest list, which the selector reads through.
            where, items = _longest_enum(path, several=bool(top))
            last = json.dumps(items[-1])
            by_index = [ours, str(path), "--set", f"{where}[{len(items) - 1}]=changed"]
            by_selector = [*by_index[:-1], f"{where}[.={last}]=changed"]
            for task, command in (("edit [N]", by_index), ("edit [.=V]", by_selector)):
                _one_line(command, path, name)
                yield task, name, "props-to-tree", command

    yield from conversions(ours)

    # One run over 100 files against a shell loop of 100 runs; each sets the
    # version and back, so that every run writes its file.
    files = _packages(100)
    change = ["-i", "--set", "version=2.0.0", "--set", "version=1.0.0"]
    yield "edit 100 files", "package.json", "props-to-tree", [ours, *change, *files]
    loop = f'for f in "$@"; do "{ours}" {" ".join(change)} "$f"; done'
    shell = ["sh", "-c", loop, "sh", *files]
    yield "edit 100 files", "package.json", "a loop of runs", shell


# The listing in process, each part of it timed alone: reading the file's
# bytes, checking them and listing them natively, and writing the chunks as
# the command's output code does; and the way the command reads the
# documents it does not list from the bytes, the Python walk of json.loads's
# tree, for comparison.
SPLIT = (
    "read",
    "check",
    "list",
    "write",
    "json.loads",
    "walk of its tree",
)


@functools.cache
def split_data(name):
    path = str(bench_files()[name])
    data = cli._read_bytes(path)[0]
    native = list(listing.json_lines(data))
    document = formats.load("json", data.decode(), path, written=True)
    python = "".join(listing.render(*listing.leaves(document.tree), document.show_all))
    if b"".join(native) != python.encode("utf-8", "backslashreplace"):
        raise SystemExit(f"the listing of {name} from the bytes is not the Python one")
    return path, data, document, native


def time_split(loops, name, part):
    path, data, document, native = split_data(name)
    fd = os.open(os.devnull, os.O_WRONLY)
    gc.disable()  # as the command runs
    start = time.perf_counter()
    for _ in range(loops):
        paths.key_texts.clear()  # a run of the command starts without it
        if part == "read":
            cli._read_bytes(path)
        elif part == "check":  # which lists too, as it goes
            listing.json_lines(data)
        elif part == "list":
            for _ in listing.json_lines(data):
                pass
        elif part == "write":
            for chunk in native:  # as cli._emit writes each
                view = memoryview(chunk)
                while view:
                    view = view[os.write(fd, view) :]
        elif part == "json.loads":
            formats.load("json", cli._read(path)[0], path, written=True)
        else:
            for _ in listing.lines(document):
                pass
    elapsed = time.perf_counter() - start
    gc.enable()
    os.close(fd)
    return elapsed


# PyYAML's C writer over the data of a JSON file: what a Python program that
# converts JSON to YAML runs.
_CSAFE = (
    "import json, sys, yaml; sys.stdout.write(yaml.dump(json.load(open(sys.argv[1])),"
    " Dumper=yaml.CSafeDumper, sort_keys=False, allow_unicode=True))"
)


def conversions(ours):
    """(task, data, tool, command): --to json of the 4 MB model written as
    YAML against the yq package, and --to yaml of the 18 MB JSON against
    PyYAML's C writer; each output checked to read back as the data."""
    import yaml

    files = bench_files()
    source = files["4 MB JSON"]
    path = source.with_suffix(".yaml")
    if not path.exists():
        model = json.loads(source.read_text())
        path.write_text(yaml.safe_dump(model, sort_keys=False, width=80))
    yq = str(Path(sys.executable).with_name("yq"))
    runs = [("to json", "4 MB YAML", path, "yq", [yq, ".", str(path)])]
    if not QUICK:
        big = files["18 MB JSON"]
        csafe = [sys.executable, "-c", _CSAFE, str(big)]
        runs.append(("to yaml", "18 MB JSON", big, "PyYAML CSafeDumper", csafe))
    for task, name, file, peer, command in runs:
        target = task.split()[-1]
        mine = [ours, str(file), "--to", target]
        if "--worker" not in sys.argv:  # checked once, by the run that reports
            _same_data([mine, command], file, target)
        yield task, name, "props-to-tree", mine
        yield task, name, peer, command


def _same_data(commands, source, target):
    """Each command's output read as `target` is the data of `source`."""
    import yaml

    def read(text, fmt):
        if fmt == "json":
            return json.loads(text)
        return yaml.load(text, Loader=yaml.CSafeLoader)

    data = read(source.read_text(), "json" if source.suffix == ".json" else "yaml")
    for command in commands:
        if not shutil.which(command[0]):
            continue
        out = subprocess.run(command, capture_output=True, text=True, check=True).stdout
        if read(out, target) != data:
            raise SystemExit(f"{command[0]} --to {target}: not the data of {source}")


def _packages(count):
    folder = ROOT / "build" / "bench-data" / "packages"
    files = []
    for n in range(count):
        path = folder / f"p{n:03}" / "package.json"
        path.parent.mkdir(parents=True, exist_ok=True)
        text = f'{{\n  "name": "p{n}",\n  "version": "1.0.0",\n  "private": true\n}}\n'
        path.write_text(text)
        files.append(str(path))
    return files


def _one_line(command, path, name):
    before = path.read_text().splitlines()
    after = subprocess.run(command, capture_output=True, text=True, check=True).stdout
    changed = set(before) ^ set(after.splitlines())
    if len(changed) != 2:
        raise SystemExit(f"{command[-1]} on {name} changed {len(changed)} lines")


def _longest_enum(path, several):
    """The longest list of values of the models' shapes: the path to it."""
    model = json.loads(path.read_text())
    found = []
    for top, each in model.items() if several else [("", model)]:
        shapes = each["shapes"]
        for shape, about in shapes.items():
            prefix = f"{top}." if several else ""
            found.append((len(about.get("enum", ())), f"{prefix}shapes.{shape}.enum"))
    _, where = max(found)
    items = model
    for key in where.split("."):
        items = items[key]
    return where, items


def main():
    runner = pyperf.Runner(
        processes=1 if QUICK else 2,
        values=2 if QUICK else 3,
        min_time=0.05 if QUICK else 0.1,
        add_cmdline_args=lambda command, args: command.extend(["--quick"] * QUICK),
    )
    runner.argparser.add_argument("--quick", action="store_true")
    args = runner.parse_args()
    leaves = {}
    for name, (_, _, everyone) in datasets().items():
        for task, impls in TASKS.items():
            for impl in impls if everyone else ("props_to_tree", "python"):
                bench = f"{task}/{name}/{impl}"
                if not args.worker:  # workers build only the data they time
                    leaves[bench] = check(task, impl, calls(task, impl, name))
                runner.bench_time_func(bench, time_calls, task, impl, name)
    lines = {}
    for name, (fmt, _, _) in api_files().items():
        if not args.worker:
            lines[name] = api_lines(name)
        for tool in API_EDITORS[fmt]:
            runner.bench_time_func(f"api/{name}/{tool}", time_api, name, tool)
    if not args.worker:
        check_appends()
        for fmt in VIEW_FORMATS:
            for place in ("table", "list"):
                if _loop(place, fmt, "views") != _loop(place, fmt, "plain"):
                    raise SystemExit(f"views of the {fmt} {place} read otherwise")
    for fmt in VIEW_FORMATS:  # the texts are made only where timed
        for place in ("table", "list"):
            for way in ("views", "plain"):
                bench = f"views/{fmt} {place}/{way}"
                runner.bench_time_func(bench, time_views, place, fmt, way)
    for fmt, tools in APPENDERS.items():
        for tool in tools:
            runner.bench_time_func(f"appends/{fmt}/{tool}", time_appends, fmt, tool)
    for name in [n for n in bench_files() if n.endswith("JSON")]:
        if QUICK and name not in QUICK_FILES:
            continue
        for part in SPLIT:
            runner.bench_time_func(f"split/{name}/{part}", time_split, name, part)
    for task, name, tool, command in commands():
        if shutil.which(command[0]):
            runner.bench_command(f"{task}/{name}/{tool}", command)
        elif not args.worker:
            print(f"{tool} is not installed: skipped", file=sys.stderr)
    if not args.worker and args.output:
        Path(args.output).with_suffix(".leaves.json").write_text(json.dumps(leaves))
        Path(args.output).with_suffix(".lines.json").write_text(json.dumps(lines))


if __name__ == "__main__":
    main()
