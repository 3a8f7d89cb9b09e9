"""The package's exceptions, importable without the analysis behind them."""


class LineageError(Exception):
    """The text could not be analysed at all; the message says why and where."""
