"""The native extensions: the analysis module `test` and the report printer.

An installed package holds them beside this file; in a checkout they are
built into build/. Either way they are imported under this package's name,
so the standard library's own `test` package is never shadowed.

The analysis module registers itself as `test` in sys.modules when that name
is free there; loaded under our name, that entry is taken away again, so a
later `import test` still finds the standard library's package."""

import importlib
import importlib.machinery
import importlib.util
import os
import sys
from types import ModuleType

_CHECKOUT_BUILD = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "build")


def _load(name: str) -> ModuleType:
    qualified = f"{__package__}.{name}"
    if qualified in sys.modules:
        return sys.modules[qualified]
    flat_name_taken = "test" in sys.modules
    module = _import(name, qualified)
    if not flat_name_taken and sys.modules.get("test") is module:
        del sys.modules["test"]
    return module


def _import(name: str, qualified: str) -> ModuleType:
    try:
        return importlib.import_module(qualified)
    except ModuleNotFoundError as error:
        if error.name != qualified:
            raise
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        path = os.path.join(_CHECKOUT_BUILD, name + suffix)
        flat = sys.modules.get(name)
        if flat is not None and getattr(flat, "__file__", None) == path:
            # Already imported as `test` (PYTHONPATH=build): one library, one
            # module object, left with its own spec.
            sys.modules[qualified] = flat
            return flat
        if os.path.exists(path):
            spec = importlib.util.spec_from_file_location(qualified, path)
            if spec is None or spec.loader is None:
                raise ModuleNotFoundError(f"the native module {name!r} at {path} cannot be "
                                          "loaded", name=qualified)
            module = importlib.util.module_from_spec(spec)
            sys.modules[qualified] = module
            try:
                spec.loader.exec_module(module)
            except BaseException:
                del sys.modules[qualified]
                raise
            return module
    raise ModuleNotFoundError(f"the native module {name!r} is not built", name=qualified)


def analysis_module() -> ModuleType:
    """The native module `test`."""
    return _load("test")


def report_module() -> ModuleType:
    """The native report printer `lineage_report`."""
    return _load("lineage_report")
