"""Replacing a file whole, so that no reader and no failure sees half of it."""

import contextlib
import os
import tempfile


def replace_file(path: str, data: bytes) -> None:
    """Give the file at `path` the contents `data`, atomically.

    The data go to a temporary file in the same directory, are flushed to the
    disk with the file's permission bits (and owner, where allowed), and the
    temporary file is renamed over the file: the old contents or the new ones,
    never a mix, and a failed write leaves the file as it was.  A symbolic
    link is followed: its target changes, and the link stays a link.
    """
    target = os.path.realpath(path)
    directory = os.path.dirname(target)
    status = os.stat(target)
    fd, temporary = tempfile.mkstemp(
        dir=directory, prefix=f".{os.path.basename(target)}.", suffix=".tmp"
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
