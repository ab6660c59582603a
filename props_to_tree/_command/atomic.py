"""Editing a file in place with no lost update and no half-written file.

A run holds an exclusive lock on the file itself (flock: no lock file is left
in the directory) from before it reads the file until after it has renamed
the new contents over it, so runs of the command take turns.  A rename puts a
new file at the path; a run that waited for the old one's lock sees that and
locks the new one.  Programs that take no lock are only checked for: just
before the rename, the file must still be the one that was read, else it is
read and changed again.

A run also holds an exclusive lock on its temporary file for as long as that
file exists.  A run killed outright leaves its temporary file behind, and
unlocked: the next run that writes the file removes it, while a live run's,
locked, stays.
"""

from __future__ import annotations

import contextlib
import fcntl
import os
import re
import stat
import tempfile
import time

from props_to_tree._command.errors import OutputError, UserError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable

# What a temporary file is called: a run killed outright may leave one.
TEMPORARY = ".props-to-tree-"
# What mkstemp puts between the prefix and the suffix: nothing else is removed.
_RANDOM = re.compile(r"[a-z0-9_]{8}\.tmp")
TRIES = 5  # reads of a file that another program keeps changing


def _identity(status: os.stat_result) -> tuple[int, int, int, int]:
    return status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns


def _same(one: os.stat_result, other: os.stat_result) -> bool:
    return (one.st_dev, one.st_ino) == (other.st_dev, other.st_ino)


def _lock(path: str, wait: float, name: str) -> int:
    """A descriptor of the file now at `path` (called `name`), locked."""
    deadline = time.monotonic() + wait
    pause = 0.001
    while True:
        try:
            fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        except OSError as exc:
            raise UserError(f"cannot read {name}: {exc.strerror}") from None
        try:
            while True:
                try:
                    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    break
                except BlockingIOError:
                    if time.monotonic() >= deadline:
                        raise OutputError(
                            f"{name} is being edited by another run: "
                            f"waited {wait:g} s for it"
                        ) from None
                    time.sleep(pause)
                    pause = min(pause * 2, 0.05)
            # The run that held the lock may have renamed a new file in.
            if os.stat(path).st_ino == os.fstat(fd).st_ino:
                return fd
        except BaseException:
            os.close(fd)
            raise
        os.close(fd)


def edit_in_place(
    path: str, change: Callable[[int], bytes | None], wait: float = 60.0
) -> bool:
    """Replace the file at `path` by what `change` makes of it, read from the
    descriptor it is given; None leaves the file alone.  True if written.

    The new contents go to a temporary file in the same directory, flushed to
    the disk with the file's permission bits (and owner, where allowed), and
    renamed over the file.  A symbolic link is followed: its target changes,
    and the link stays a link."""
    target = os.path.realpath(path)
    fd = _lock(target, wait, path)
    try:
        for _ in range(TRIES):
            read = _identity(os.fstat(fd))
            data = change(fd)
            if data is None:
                return False
            if _replace(target, data, read):
                return True
            os.close(fd)  # changed under us: read what is there now
            fd = -1
            fd = _lock(target, wait, path)
        raise OutputError(f"{path} kept changing while it was edited: nothing written")
    finally:
        if fd >= 0:
            os.close(fd)


def _replace(target: str, data: bytes, read: tuple[int, int, int, int]) -> bool:
    """Rename `data` over `target` if it is still the file that was read."""
    directory, name = os.path.split(target)
    status = os.stat(target)
    _sweep(directory, name)
    fd, temporary = _temporary(directory, name)
    try:
        try:
            # Not closed with the file object: that would drop the lock.
            with os.fdopen(fd, "wb", closefd=False) as file:
                file.write(data)
                file.flush()
                # The owner first: a change of owner clears the set-id bits.
                with contextlib.suppress(OSError):
                    os.fchown(fd, status.st_uid, status.st_gid)
                os.fchmod(fd, status.st_mode & 0o7777)
                os.fsync(fd)
            if _identity(os.stat(target)) != read:
                os.unlink(temporary)
                return False
            os.replace(temporary, target)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
            raise
    finally:
        # The lock goes only once the name is gone: to a run that sweeps, an
        # unlocked temporary file is a killed run's.
        os.close(fd)
    # The rename is durable only once the directory entry is on the disk.
    directory_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(directory_fd)
    finally:
        os.close(directory_fd)
    return True


def _temporary(directory: str, name: str) -> tuple[int, str]:
    """A new temporary file beside the file `name`, and a descriptor of it that
    holds its lock."""
    while True:
        fd, temporary = tempfile.mkstemp(
            dir=directory, prefix=f".{name}{TEMPORARY}", suffix=".tmp"
        )
        try:
            # Until it is locked, another run's sweep may take it for a killed
            # run's, lock it first and remove it: then make another.
            with contextlib.suppress(BlockingIOError, FileNotFoundError):
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                if _same(os.lstat(temporary), os.fstat(fd)):
                    return fd, temporary
        except BaseException:
            os.close(fd)
            with contextlib.suppress(OSError):
                os.unlink(temporary)
            raise
        os.close(fd)


def _sweep(directory: str, name: str) -> None:
    """Remove the temporary files that runs killed while writing the file
    `name` left beside it: those whose lock is free."""
    prefix = f".{name}{TEMPORARY}"
    try:
        directory_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return
    try:
        # Names, not paths: the directory cannot be swapped under the sweep.
        with contextlib.suppress(OSError), os.scandir(directory_fd) as entries:
            for entry in entries:
                if entry.name.startswith(prefix) and _RANDOM.fullmatch(
                    entry.name, len(prefix)
                ):
                    with contextlib.suppress(OSError):
                        _remove(directory_fd, entry.name)
    finally:
        os.close(directory_fd)


def _remove(directory_fd: int, name: str) -> None:
    """Unlink the regular file `name` if its lock can be taken, and it is still
    the file at that name once locked."""
    seen = os.stat(name, dir_fd=directory_fd, follow_symlinks=False)
    if not stat.S_ISREG(seen.st_mode):
        return  # not opened: a device or a FIFO could act on an open
    flags = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC
    fd = os.open(name, flags, dir_fd=directory_fd)
    try:
        if not _same(os.fstat(fd), seen):
            return
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return  # a live run's
        # Its run may have renamed it over the file, or removed it, meanwhile.
        if _same(os.stat(name, dir_fd=directory_fd, follow_symlinks=False), seen):
            os.unlink(name, dir_fd=directory_fd)
    finally:
        os.close(fd)
