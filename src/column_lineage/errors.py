"""The package's exceptions, in one place, importable without the analysis
behind them (nothing heavier than the standard library is imported here).
Each is also importable from the module that raises it."""

from __future__ import annotations


class LineageError(Exception):
    """The text could not be analysed at all; the message says why and where."""


class RoutineError(ValueError):
    """A routine whose header or body cannot be read; the message says what and where."""


class FormatError(Exception):
    """A format cannot write here (say, a program it needs is missing); the
    message says why."""


class StoreError(Exception):
    """The store cannot be used; the message is one line naming the file and why."""


class ServerError(Exception):
    """A server could not be read: one line naming the server or object and
    why, never a password."""


class FileFailure(Exception):
    """One file could not be analysed by the command; the message says why."""


class OutputFailure(Exception):
    """Standard output cannot take the lineage; the message says why."""


class Stopped(BaseException):
    """The command was told to stop (SIGTERM, SIGHUP): as KeyboardInterrupt,
    no handler of one file's failure may take it for one."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum
