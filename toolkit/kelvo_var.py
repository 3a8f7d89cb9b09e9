"""Toolkit variables module; the analyser only imports its class."""


class KelvoVar:
    """Imported at load, used by nothing."""
