"""Output formats that need an optional dependency, which an extra of the
package installs (pip install 'column-lineage[report]')."""

from __future__ import annotations

import importlib.util

# format name -> (top-level module it needs, extra that installs it)
NEEDS = {
    "report": ("pandas", "report"),
    "openlineage": ("openlineage", "openlineage"),
}


def missing_dependency(format_name: str) -> str | None:
    """Why the format cannot run in this environment, or None when it can."""
    if format_name not in NEEDS:
        return None
    module, extra = NEEDS[format_name]
    if importlib.util.find_spec(module) is not None:
        return None
    return (f"the {format_name} format needs {module}, which is not installed: "
            f"pip install 'column-lineage[{extra}]' (or use --format json)")
