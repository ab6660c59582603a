"""Editing a file in place with no lost update and no half-written file.

A run holds an exclusive lock on the file itself (flock: no lock file is left
in the directory) from before it reads the file until after it has renamed
the new contents over it, so runs of the command take turns.  A rename puts a
new file at the path; a run that waited for the old one's lock sees that and
locks the new one.  Programs that take no lock are only checked for: just
before the rename, the file must still be the one that was read, else it is
read and changed again.
"""

from __future__ import annotations

import contextlib
import fcntl
import os
import tempfile
import time

from props_to_tree._command.errors import OutputError, UserError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable

# What a temporary file is called: a run killed outright may leave one.
TEMPORARY = ".props-to-tree-"
TRIES = 5  # reads of a file that another program keeps changing


def _identity(status: os.stat_result) -> tuple[int, int, int, int]:
    return status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns


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
    directory = os.path.dirname(target)
    status = os.stat(target)
    fd, temporary = tempfile.mkstemp(
        dir=directory, prefix=f".{os.path.basename(target)}{TEMPORARY}", suffix=".tmp"
    )
    try:
        with os.fdopen(fd, "wb") as file:
            file.write(data)
            file.flush()
            # The owner first: a change of owner clears the set-id bits.
            with contextlib.suppress(OSError):
                os.fchown(file.fileno(), status.st_uid, status.st_gid)
            os.fchmod(file.fileno(), status.st_mode & 0o7777)
            os.fsync(file.fileno())
        if _identity(os.stat(target)) != read:
            os.unlink(temporary)
            return False
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    # The rename is durable only once the directory entry is on the disk.
    directory_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(directory_fd)
    finally:
        os.close(directory_fd)
    return True
