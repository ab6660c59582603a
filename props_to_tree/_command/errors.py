"""The command's two kinds of failure, each one line on standard error."""


class UserError(Exception):
    """A mistake in the command line, the input or a change asked for: exit
    status 2."""


class OutputError(Exception):
    """The output cannot be written: exit status 1."""
