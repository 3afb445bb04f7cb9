"""The one error kind the command line reports as a plain message."""


class InputError(Exception):
    """A file that cannot be used: unreadable, not UTF-8, or malformed.

    `str()` of it is a one-line message that names the file and, where it
    applies, the line.
    """
