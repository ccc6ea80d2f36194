"""The native sources include only downward: a lower layer never includes a higher one.

The layers, lowest first. A file may include files of its own layer and of
the layers below it; nothing else. The module entries come last, and
``src/utils`` (the frame and trace utilities) stands on the code-object facts
alone: never on the configuration, the memory budget or the value dumpers.
"""

from __future__ import annotations

import re
from pathlib import Path

SRC = Path(__file__).resolve().parents[1] / "src"

# (layer, the paths it holds, relative to src/, as prefixes of the file stem)
LAYERS: list[tuple[str, tuple[str, ...]]] = [
    ("Python/C API support", ("support/",)),
    ("document scanner", ("scan/",)),
    ("code-object facts", ("core/code_extra", "core/code_facts", "core/frame_locals")),
    ("frame and trace utilities", ("utils/",)),
    ("configuration, filters and value dumpers", ("config", "filters", "dump/")),
    (
        "serializer, host facts, memory budget",
        ("core/serializer", "core/host_facts", "core/memory_budget"),
    ),
    ("plugins", ("plugins",)),
    ("trace buffer and markers", ("core/trace_buffer", "core/markers")),
    ("folding", ("core/folding",)),
    ("subtree flushing", ("subtree_flush",)),
    ("engine core", ("core/engine_core",)),
    ("engines", ("profiler", "monitoring")),
    ("module entries", ("lib", "dump/module")),
]


def layer_of(path: str) -> int:
    stem = path.rsplit(".", 1)[0]
    # The longest matching prefix wins: dump/module is an entry, not a dumper.
    best = max(
        (
            (len(prefix), index)
            for index, (_, prefixes) in enumerate(LAYERS)
            for prefix in prefixes
            if stem.startswith(prefix)
        ),
        default=None,
    )
    assert best is not None, f"src/{path} belongs to no layer: add it to LAYERS"
    return best[1]


def includes() -> list[tuple[str, str]]:
    pattern = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)
    found = []
    for file in sorted(SRC.rglob("*")):
        if file.suffix not in (".cpp", ".hpp"):
            continue
        source = file.relative_to(SRC).as_posix()
        for target in pattern.findall(file.read_text()):
            if (SRC / target).exists():  # not CPython's internal headers
                found.append((source, target))
    return found


def test_every_include_points_down_or_sideways():
    upward = [
        f"src/{source} ({LAYERS[layer_of(source)][0]}) includes {target} "
        f"({LAYERS[layer_of(target)][0]})"
        for source, target in includes()
        if layer_of(target) > layer_of(source)
    ]
    assert upward == []


def test_the_utilities_reach_no_configuration_budget_or_dumper():
    reached = [
        (source, target)
        for source, target in includes()
        if source.startswith("utils/")
        and (target.startswith(("config", "dump/")) or "memory_budget" in target)
    ]
    assert reached == []


def test_the_layer_table_sees_the_includes():
    found = includes()
    assert len(found) > 100
    assert ("core/engine_core.hpp", "subtree_flush.hpp") in found
