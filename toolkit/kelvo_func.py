"""Toolkit hook constructed once by the module's script mode."""


class KelvoFunc:
    """Callable with no arguments; the module relies on nothing else."""

    def __init__(self):
        pass
