"""The floor under the command's listing: a process that starts, imports the
command, reads FILE and parses it with its format's reader, as the command
does, and prints nothing.  A listing's time over this one's is what walking
the tree and printing it cost.

    python bench/floor.py FILE
"""

import gc
import os
import sys

from props_to_tree import _formats as formats
from props_to_tree._command import cli
from props_to_tree._engine import text as texts


def main():
    gc.disable()  # as the command runs
    file = sys.argv[1]
    kind, guessed = formats.detect(file)
    text, name = cli._read(file)
    formats.load(kind, texts.split_mark(text)[1], name, guessed)
    os._exit(0)  # as the command ends: without the interpreter's teardown


if __name__ == "__main__":
    main()
