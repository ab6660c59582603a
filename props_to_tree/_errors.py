"""The command's one kind of user error."""


class UserError(Exception):
    """A mistake in the command line, the input or a change asked for: one
    line on standard error, exit status 2."""
