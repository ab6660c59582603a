"""The floor under the command's listing: a process that starts, imports the
command, reads FILE and parses it with its format's reader, as the command
does, and prints nothing.  A listing's time over this one's is what walking
the tree and printing it cost.

    python bench/floor.py FILE
"""

import gc
import os
import sys

from props_to_tree._command import cli


def main():
    gc.disable()  # as the command runs
    file = sys.argv[1]
    kind = cli.SUFFIXES.get(os.path.splitext(file)[1].lower(), "json")
    text, name = cli._read(file)
    cli._load(kind, text.removeprefix("\ufeff"), name)
    os._exit(0)  # as the command ends: without the interpreter's teardown


if __name__ == "__main__":
    main()
