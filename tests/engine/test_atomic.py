"""The atomic replace: a file read again when another program changed it, and
the temporary files that killed runs leave, removed by the next run and by
nothing else."""

import fcntl
import os
import subprocess
import sys

import pytest
from _support import IMPORT_ROOT

from props_to_tree._engine import atomic
from props_to_tree._engine.errors import WriteError


def test_a_file_changed_under_an_edit_is_read_again(tmp_path):
    path = tmp_path / "c.json"
    path.write_text("1")
    seen = []

    def change(fd, other_program=True):
        seen.append(os.read(fd, 100))
        if other_program and len(seen) == 1:
            (tmp_path / "new").write_text("2")  # a save by another program
            os.replace(tmp_path / "new", path)
        return seen[-1] + b"0"

    assert atomic.edit_in_place(str(path), change)
    assert (seen, path.read_text()) == ([b"1", b"2"], "20")

    def always(fd):
        path.write_text(os.read(fd, 100).decode() + "1")  # keeps changing
        return b"ours"

    with pytest.raises(WriteError, match="kept changing while it was edited"):
        atomic.edit_in_place(str(path), always)
    assert path.read_text() == "20" + "1" * atomic.TRIES
    assert [p.name for p in tmp_path.iterdir()] == ["c.json"]


TARGET, LINK = "real/c.json", "links/link.json"  # the link is to the target
NAME = ".c.json.props-to-tree-abcd_123.tmp"  # as a run on c.json names one
# id: (what is made, where, the path edited, whether it is removed)
LEFTOVERS = {
    "a leftover": ("file", f"real/{NAME}", TARGET, True),
    "beside a link's target": ("file", f"real/{NAME}", LINK, True),
    "a live run's": ("locked", f"real/{NAME}", TARGET, False),
    "7 characters": ("file", "real/.c.json.props-to-tree-abcd123.tmp", TARGET, False),
    "9 characters": ("file", "real/.c.json.props-to-tree-abcd12345.tmp", TARGET, False),
    "capitals": ("file", "real/.c.json.props-to-tree-ABCD1234.tmp", TARGET, False),
    "a hyphen": ("file", "real/.c.json.props-to-tree-abcd-123.tmp", TARGET, False),
    "after .tmp": ("file", "real/.c.json.props-to-tree-abcd1234.tmp~", TARGET, False),
    "not .tmp": ("file", "real/.c.json.props-to-tree-abcd1234.txt", TARGET, False),
    "b.json's": ("file", "real/.b.json.props-to-tree-abcd1234.tmp", TARGET, False),
    "b.c.json's": ("file", "real/.b.c.json.props-to-tree-abcd_123.tmp", TARGET, False),
    "a directory": ("directory", f"real/{NAME}", TARGET, False),
    "a symlink": ("symlink", f"real/{NAME}", TARGET, False),
    "a FIFO": ("fifo", f"real/{NAME}", TARGET, False),
    "beside the link": ("file", f"links/{NAME}", LINK, False),
    "the link's": ("file", "links/.link.json.props-to-tree-abcd_123.tmp", LINK, False),
}


def make(kind, path):
    if kind == "directory":
        path.mkdir()
    elif kind == "symlink":
        path.symlink_to("../other")  # a sweep that follows it finds a free lock
    elif kind == "fifo":
        os.mkfifo(path)  # opened without O_NONBLOCK, it would hang the run
    else:
        path.write_text("left")


@pytest.mark.parametrize(
    ("kind", "name", "edited", "removed"), LEFTOVERS.values(), ids=LEFTOVERS
)
def test_the_next_edit_removes_a_killed_runs_temporary_file_and_nothing_else(
    tmp_path, kind, name, edited, removed
):
    (tmp_path / "real").mkdir()
    (tmp_path / "links").mkdir()
    (tmp_path / "real/c.json").write_text('{"a": 1}\n')
    (tmp_path / "links/link.json").symlink_to("../real/c.json")
    (tmp_path / "other").write_text("other")
    entry = tmp_path / name
    make(kind, entry)
    before = set(tmp_path.rglob("*"))
    lock = os.open(entry, os.O_RDONLY) if kind == "locked" else -1
    try:
        if lock >= 0:  # held by this process, as a live run holds its own
            fcntl.flock(lock, fcntl.LOCK_EX)
        result = subprocess.run(
            [sys.executable, "-m", "props_to_tree", edited, "-i", "--set", "b=2"],
            capture_output=True,
            text=True,
            env=dict(os.environ, PYTHONPATH=IMPORT_ROOT),
            cwd=tmp_path,
            timeout=60,
        )
    finally:
        if lock >= 0:
            os.close(lock)
    assert (result.returncode, result.stderr) == (0, "")
    assert (tmp_path / "real/c.json").read_text() == '{"a": 1, "b": 2}\n'
    assert set(tmp_path.rglob("*")) == (before - {entry} if removed else before)
    assert (tmp_path / "other").read_text() == "other"


def test_a_runs_temporary_file_is_locked_until_it_is_renamed(tmp_path, monkeypatch):
    path = tmp_path / "c.json"
    path.write_text("1")
    renamed = []
    replace = os.replace

    def locked_replace(source, destination):
        fd = os.open(source, os.O_RDONLY)
        try:
            with pytest.raises(BlockingIOError):
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        finally:
            os.close(fd)
        renamed.append(os.path.basename(source))
        replace(source, destination)

    monkeypatch.setattr(os, "replace", locked_replace)
    assert atomic.edit_in_place(str(path), lambda fd: b"2")
    assert renamed[0].startswith(f".c.json{atomic.TEMPORARY}")
    assert (path.read_text(), len(renamed)) == ("2", 1)
    assert [p.name for p in tmp_path.iterdir()] == ["c.json"]


@pytest.mark.parametrize("sweep", ["holds its lock", "has removed it"])
def test_a_temporary_file_another_runs_sweep_takes_first_is_made_again(
    tmp_path, monkeypatch, sweep
):
    path = tmp_path / "c.json"
    path.write_text("1")
    made = []
    held = []
    mkstemp = atomic.tempfile.mkstemp

    def swept_first(**kwargs):
        fd, name = mkstemp(**kwargs)
        made.append(os.path.basename(name))
        if len(made) == 1:  # between its creation and its lock
            other = os.open(name, os.O_RDONLY)
            fcntl.flock(other, fcntl.LOCK_EX)
            held.append(other)
            if sweep == "has removed it":
                os.unlink(name)
                os.close(held.pop())
        return fd, name

    monkeypatch.setattr(atomic.tempfile, "mkstemp", swept_first)
    try:
        assert atomic.edit_in_place(str(path), lambda fd: b"2")
    finally:
        for fd in held:
            os.close(fd)
    assert (path.read_text(), len(made)) == ("2", 2)
    # Removing what it locked is the sweep's part.
    left = [made[0]] if sweep == "holds its lock" else []
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["c.json", *left])


# The sweep looks at an entry, opens it, locks it and looks again: another
# entry put at that name in between is no leftover of a run, and stays.
@pytest.mark.parametrize(
    ("when", "replacement"),
    [("open", "file"), ("open", "symlink"), ("flock", "file")],
)
def test_an_entry_put_at_a_leftovers_name_while_it_is_swept_stays(
    tmp_path, monkeypatch, when, replacement
):
    path = tmp_path / "c.json"
    path.write_text("1")
    leftover = tmp_path / NAME
    leftover.write_text("left")
    swept = leftover.stat().st_ino
    put_at = []

    def put(at):
        if put_at:  # once: a freed inode's number comes back with mkstemp
            return
        put_at.append(at)
        new = tmp_path / "new"
        if replacement == "symlink":
            new.symlink_to("c.json")
        else:
            new.write_text("new")
        os.replace(new, leftover)

    real_open, real_flock = os.open, fcntl.flock

    def opening(name, *args, **kwargs):
        if when == "open" and name == NAME:
            put(when)
        return real_open(name, *args, **kwargs)

    def flock(fd, operation):
        real_flock(fd, operation)
        if when == "flock" and os.fstat(fd).st_ino == swept:
            put(when)

    monkeypatch.setattr(os, "open", opening)
    monkeypatch.setattr(fcntl, "flock", flock)
    assert atomic.edit_in_place(str(path), lambda fd: b"2")
    assert (path.read_text(), put_at) == ("2", [when])
    if replacement == "symlink":
        assert os.readlink(leftover) == "c.json"
    else:
        assert leftover.read_text() == "new"


# --- many files, --diff, colour ------------------------------------------------
