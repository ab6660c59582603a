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
import errno
import fcntl
import os
import re
import stat
import tempfile
import time

from props_to_tree._engine.errors import FileError, LockTimeout, WriteError, file_error

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


def _open(path: str, name: str) -> int:
    """A descriptor of the regular file at `path` (called `name`).  Anything
    else is refused before it is replaced by one: a device's node would
    become a file, and a FIFO's reader would wait for a writer."""
    try:
        mode = os.stat(path).st_mode
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        if not stat.S_ISREG(mode):
            raise FileError(f"cannot edit {name} in place: not a regular file")
        # Not blocking, should a FIFO have been put there since.
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK)
    except OSError as exc:
        if isinstance(exc, FileError):
            raise
        error = file_error(exc, f"cannot read {name}: {exc.strerror}")
        if isinstance(exc, FileNotFoundError):
            error.hint = "new"
        raise error from None
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise FileError(f"cannot edit {name} in place: not a regular file")
    return fd


def create(path: str, name: str) -> tuple[int, int] | None:
    """Makes the file at `path` (called `name`), empty, where there is none,
    with the mode 0666 less the umask: its device and inode; None where one
    is there already, to be edited as it is.  Made exclusively, so that of
    two runs that race to make it, one makes it and the other then edits
    what the first wrote."""
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC
    try:
        fd = os.open(path, flags, 0o666)
    except FileExistsError:
        return None
    except OSError as exc:
        raise file_error(exc, f"cannot create {name}: {exc.strerror}") from None
    try:
        status = os.fstat(fd)
        return status.st_dev, status.st_ino
    finally:
        os.close(fd)


def uncreate(path: str, made: tuple[int, int]) -> None:
    """Removes the file that `create` made at `path`, where it is still that
    file, and empty: an edit of it failed, or wrote nothing."""
    with contextlib.suppress(OSError):
        status = os.stat(path)
        if (status.st_dev, status.st_ino) == made and status.st_size == 0:
            os.unlink(path)


def _lock(path: str, wait: float, name: str) -> int:
    """A descriptor of the file now at `path` (called `name`), locked."""
    deadline = time.monotonic() + wait
    pause = 0.001
    while True:
        fd = _open(path, name)
        try:
            while True:
                try:
                    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    break
                except BlockingIOError:
                    pause = _pause(pause, deadline, wait, name)
            # The run that held the lock may have renamed a new file in.
            if os.stat(path).st_ino == os.fstat(fd).st_ino:
                return fd
        except BaseException:
            os.close(fd)
            raise
        os.close(fd)


def _pause(pause: float, deadline: float, wait: float, name: str) -> float:
    """Sleeps before the next try of a lock another run holds, each pause
    twice the last, up to 50 ms; the pause after it.  Past `deadline`, the
    run gives up, naming the file it waited for."""
    if time.monotonic() >= deadline:
        raise LockTimeout(
            f"{name} is being edited by another run: waited {wait:g} s for it"
        ) from None
    time.sleep(pause)
    return min(pause * 2, 0.05)


# The files this process holds: a lock of its own would wait for itself.
_HELD: set[str] = set()


class Held:
    """The file at `path` locked for an edit: `fd` reads it.  Symbolic
    links are followed: their target changes, and a link stays a link."""

    def __init__(self, path: str, wait: float = 60.0) -> None:
        self.path, self.wait = path, wait
        self.target = os.path.realpath(path)
        if self.target in _HELD:
            raise RuntimeError(
                f"{path} is being edited already, by this program: "
                "an edit of a file cannot wait for another in the same process"
            )
        self.fd = _lock(self.target, wait, path)
        _HELD.add(self.target)
        self.read = _identity(os.fstat(self.fd))

    def replace(self, data: bytes) -> bool:
        """Puts `data` in place of the file if it is still the one read;
        else locks the file now there, to be read again, and gives False.

        The new contents go to a temporary file in the same directory,
        flushed to the disk with the file's permission bits (and owner,
        where allowed), and renamed over the file."""
        if _replace(self.target, data, self.read):
            return True
        os.close(self.fd)  # changed under us: read what is there now
        self.fd = -1
        self.fd = _lock(self.target, self.wait, self.path)
        self.read = _identity(os.fstat(self.fd))
        return False

    def commit(self, make: Callable[[], bytes | None]) -> bool:
        """Replaces the file by what `make` gives, None leaving it alone;
        where another program changed the file since it was read, `make` is
        called again, to work the changes out on what is there now (`fd`
        reads it).  True if written."""

        def attempt() -> bool | None:
            data = make()
            if data is None:
                return False
            return True if self.replace(data) else None

        return retried(attempt, f"{self.path} kept changing while it was edited")

    def close(self) -> None:
        _HELD.discard(self.target)
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


def retried[T](attempt: Callable[[], T | None], changing: str) -> T:
    """What `attempt` gives, tried again while it gives None (a file was
    changed by another program between its read and its rename), up to
    TRIES times: the one loop that every edit in place goes through."""
    for _ in range(TRIES):
        done = attempt()
        if done is not None:
            return done
    raise WriteError(f"{changing}: nothing written")


def edit_in_place(
    path: str, change: Callable[[int], bytes | None], wait: float = 60.0
) -> bool:
    """Replace the file at `path` by what `change` makes of it, read from the
    descriptor it is given; None leaves the file alone.  True if written.
    `change` is called again where another program changed the file since."""
    held = Held(path, wait)
    try:
        return held.commit(lambda: change(held.fd))
    finally:
        held.close()


def _replace(target: str, data: bytes, read: tuple[int, int, int, int]) -> bool:
    """Rename `data` over `target` if it is still the file that was read."""
    fd, temporary = _written(target, data)
    try:
        try:
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
    _sync_directory(target)
    return True


def _written(target: str, data: bytes) -> tuple[int, str]:
    """A temporary file beside `target` holding `data`, on the disk with the
    target's permission bits (and owner, where allowed); its descriptor,
    which holds its lock, and its name."""
    directory, name = os.path.split(target)
    status = os.stat(target)
    _sweep(directory, name)
    fd, temporary = _temporary(directory, name)
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
    except BaseException:
        os.close(fd)
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    return fd, temporary


def _sync_directory(target: str) -> None:
    # A rename is durable only once the directory entry is on the disk.
    directory_fd = os.open(os.path.dirname(target), os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(directory_fd)
    finally:
        os.close(directory_fd)


class _Busy(Exception):
    """A file that another run holds, or renamed while it was being locked."""


def edit_many(
    paths: list[str], change: Callable[[int, str], bytes | None], wait: float = 60.0
) -> list[str]:
    """`edit_in_place` for several files, all or none: each file is read and
    changed before any is written, every new file is on the disk before the
    first rename, and a file that another program changed meanwhile has every
    change worked out again.  The same file named twice, or through a
    symbolic link, is changed once; two hard links to it are refused.
    Returns the names of the files written.

    Every file is locked, in the order of their real paths, without waiting:
    where one is held, all are let go and taken again after a pause, so that
    two runs naming the same files in any order never wait on each other."""
    targets: dict[str, str] = {}
    inodes: dict[tuple[int, int], str] = {}
    for path in paths:
        real = os.path.realpath(path)
        try:
            status = os.stat(real)
        except OSError as exc:
            error = file_error(exc, f"cannot read {path}: {exc.strerror}")
            if isinstance(exc, FileNotFoundError):
                error.hint = "new"
            raise error from None
        # A file's new text is renamed in under one of its names: another
        # hard link would keep the old text, which it was named to change.
        seen = inodes.setdefault((status.st_dev, status.st_ino), real)
        if seen != real:
            raise FileError(
                f"{path} and {targets[seen]} are one file under two names "
                "(hard links), which an edit in place would part: name one"
            )
        targets.setdefault(real, path)
    deadline = time.monotonic() + wait

    def attempt() -> list[str] | None:
        fds = _lock_all(targets, deadline, wait)
        try:
            reads = {real: _identity(os.fstat(fd)) for real, fd in fds.items()}
            outputs = {real: change(fd, targets[real]) for real, fd in fds.items()}
            return _replace_all(targets, outputs, reads)
        finally:
            for fd in fds.values():
                os.close(fd)

    return retried(attempt, "the files kept changing while they were edited")


def _lock_all(targets: dict[str, str], deadline: float, wait: float) -> dict[str, int]:
    pause = 0.001
    while True:
        fds: dict[str, int] = {}
        try:
            for real in sorted(targets):
                fds[real] = fd = _open(real, targets[real])
                try:
                    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                except BlockingIOError:
                    raise _Busy(real) from None
                # The run that held the lock may have renamed a new file in.
                if os.stat(real).st_ino != os.fstat(fd).st_ino:
                    raise _Busy(real)
            return fds
        except _Busy as busy:
            for fd in fds.values():
                os.close(fd)
            pause = _pause(pause, deadline, wait, targets[str(busy)])
        except BaseException:
            for fd in fds.values():
                os.close(fd)
            raise


def _replace_all(
    targets: dict[str, str],
    outputs: dict[str, bytes | None],
    reads: dict[str, tuple[int, int, int, int]],
) -> list[str] | None:
    """Every new file written, then renamed over its file; None, writing
    nothing, where a file is no longer the one read."""
    temporaries: dict[str, tuple[int, str]] = {}
    renamed: list[str] = []
    try:
        for real, data in outputs.items():
            if data is not None:
                temporaries[real] = _written(real, data)
        if any(_identity(os.stat(real)) != reads[real] for real in temporaries):
            return None
        for real, (_, temporary) in temporaries.items():
            try:
                os.replace(temporary, real)
            except OSError as exc:
                written = ", ".join(targets[r] for r in renamed) or "none"
                left = [targets[r] for r in temporaries if r not in renamed]
                raise WriteError(
                    f"cannot write {targets[real]}: {exc.strerror}; "
                    f"written: {written}; not written: {', '.join(left)}"
                ) from None
            renamed.append(real)
        for real in renamed:
            _sync_directory(real)
        return [targets[real] for real in renamed]
    finally:
        for real, (fd, temporary) in temporaries.items():
            if real not in renamed:
                with contextlib.suppress(OSError):
                    os.unlink(temporary)
            os.close(fd)


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
