"""`python -m props_to_tree`: the props-to-tree command."""

from props_to_tree._command.cli import run

if __name__ == "__main__":
    run()
