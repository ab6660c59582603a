"""`python -m props_to_tree`: the props-to-tree command."""

import sys

from props_to_tree._cli import main

if __name__ == "__main__":
    sys.exit(main())
