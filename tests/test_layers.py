"""The native module's folders are layers that include one way only:
capi <- lineage <- report <- module <- host. A file may include its own
layer's headers and those of the layers before it, never a later one."""

import os
import re

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE = os.path.join(ROOT, "src")
LAYERS = ["capi", "lineage", "report", "module", "host"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def includes():
    """(layer of the including file, its path, the included path) for every
    #include "..." of the C++ sources."""
    for layer in LAYERS:
        for directory, _, names in os.walk(os.path.join(SOURCE, layer)):
            for name in names:
                if name.endswith((".cpp", ".hpp", ".h")):
                    path = os.path.join(directory, name)
                    with open(path, encoding="utf-8") as source:
                        for included in INCLUDE.findall(source.read()):
                            yield layer, os.path.relpath(path, SOURCE), included


def violations(found):
    """The includes that reach a later layer, or outside the layers."""
    wrong = []
    for layer, path, included in found:
        target = included.split("/", 1)[0]
        if target not in LAYERS or LAYERS.index(target) > LAYERS.index(layer):
            wrong.append(f"{path} includes {included}")
    return wrong


def test_every_layer_includes_only_itself_and_the_layers_before_it():
    found = list(includes())
    assert len(found) > 40  # the walk found the sources
    assert violations(found) == []


@pytest.mark.parametrize("found, wrong", [
    ([("lineage", "lineage/a.cpp", "module/state.hpp")], ["lineage/a.cpp includes module/state.hpp"]),
    ([("report", "report/r.cpp", "lineage/record.hpp"), ("capi", "capi/x.hpp", "capi/ref.hpp")], []),
    ([("capi", "capi/x.hpp", "elsewhere/y.hpp")], ["capi/x.hpp includes elsewhere/y.hpp"]),
])
def test_the_check_tells_a_later_layer_from_an_earlier_one(found, wrong):
    assert violations(found) == wrong
