"""A call's arguments: the part of its locals at the call that are its parameters.

A call record stores the frame's locals, not its parameters.  At the call the
locals list the parameters first, in the code object's order (positional-only,
positional, keyword-only, ``*args``, ``**kwargs``), then the cell and free
variables the function keeps (a closure's captured names, ``__class__`` for
``super()``).  The parameters are read from the function's source, as the file
is now: the record's path names the file and the line of the ``def`` (or of
its first decorator, or of the ``lambda``).  They are used only when they are
exactly the first names of the locals, so a changed or missing source never
makes an argument of something else.  Without them, the names the compiler
adds for classes (``__class__`` and its kin) are left out and the rest kept.

Stored records and documents are read as they are: nothing here changes them.
"""

from __future__ import annotations

import ast
import os
import threading
from collections.abc import Iterator, Mapping
from contextlib import contextmanager
from typing import Any

__all__ = ["call_arguments", "held_sources", "split_call_locals"]

# Cells the compiler makes for a function defined in a class body: never
# parameters the caller passed.
_COMPILER_CELLS = frozenset({"__class__", "__classdict__", "__classcell__", "__classdictcell__"})

# file -> ((mtime_ns, size), {line: [(function name, parameter names), ...]})
_Defs = dict[int, list[tuple[str, tuple[str, ...]]]]
_cache: dict[str, tuple[tuple[int, int], _Defs]] = {}
_cache_lock = threading.Lock()
_CACHE_FILES = 256


def _parameters(args: ast.arguments) -> tuple[str, ...]:
    names = [a.arg for a in (*args.posonlyargs, *args.args, *args.kwonlyargs)]
    if args.vararg is not None:
        names.append(args.vararg.arg)
    if args.kwarg is not None:
        names.append(args.kwarg.arg)
    return tuple(names)


def _definitions(source: str) -> _Defs:
    """Every function of the source by the lines its calls report."""
    found: _Defs = {}
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            entry = (node.name, _parameters(node.args))
            lines = {node.lineno, *(d.lineno for d in node.decorator_list)}
        elif isinstance(node, ast.Lambda):
            entry = ("<lambda>", _parameters(node.args))
            lines = {node.lineno}
        else:
            continue
        for line in lines:
            found.setdefault(line, []).append(entry)
    return found


# Files whose stamp (or absence: None) is taken as known, while a pass over a
# trace holds them (see held_sources); None when none does.
_held: dict[str, tuple[int, int] | None] | None = None


@contextmanager
def held_sources() -> Iterator[None]:
    """Within it, each source file is looked at once, not again at every call read.

    For one pass over a large trace (the text view, an export), which asks
    for the same few files at each of its calls; a file changed meanwhile is
    read as it was when first looked at.
    """
    global _held
    outer = _held
    if outer is None:
        _held = {}
    try:
        yield
    finally:
        _held = outer


def _stamp(filename: str) -> tuple[int, int] | None:
    """The file's modification time and size, or None when it cannot be looked at."""
    held = _held
    if held is not None and filename in held:
        return held[filename]
    try:
        st = os.stat(filename)
        stamp: tuple[int, int] | None = (st.st_mtime_ns, st.st_size)
    except (OSError, ValueError):
        stamp = None
    if held is not None and len(held) < 4 * _CACHE_FILES:
        held[filename] = stamp
    return stamp


def _file_definitions(filename: str) -> _Defs | None:
    """The file's functions, cached while its modification time and size hold."""
    stamp = _stamp(filename)
    if stamp is None:
        return None
    with _cache_lock:
        cached = _cache.get(filename)
    if cached is not None and cached[0] == stamp:
        return cached[1]
    try:
        with open(filename, "rb") as f:
            defs = _definitions(f.read().decode("utf-8"))
    except (OSError, ValueError, SyntaxError, RecursionError, MemoryError):
        defs = {}
    with _cache_lock:
        if len(_cache) >= _CACHE_FILES:
            _cache.clear()
        _cache[filename] = (stamp, defs)
    return defs


def _source_parameters(record: Mapping[str, Any]) -> list[tuple[str, ...]]:
    """Parameter lists of the functions named co_name at the record's file and line."""
    path, co_name = record.get("path"), record.get("co_name")
    if not isinstance(path, str) or not isinstance(co_name, str):
        return []
    filename, _, line = path.rpartition(":")
    if not filename or not line.isdigit():
        return []
    defs = _file_definitions(filename)
    if not defs:
        return []
    return [params for name, params in defs.get(int(line), []) if name == co_name]


def split_call_locals(record: Mapping[str, Any]) -> tuple[dict[str, Any], dict[str, Any]] | None:
    """(arguments, other locals) of a call record; None where its locals are no mapping."""
    local_vars = record.get("locals")
    if not isinstance(local_vars, Mapping):
        return None
    names = list(local_vars)
    count = None
    if record.get("event") == "call":
        for params in _source_parameters(record):
            if tuple(names[: len(params)]) == params:
                count = len(params)
                break
    if count is None:
        chosen = [n for n in names if not (isinstance(n, str) and n in _COMPILER_CELLS)]
    else:
        chosen = names[:count]
    keep = set(chosen)
    arguments = {n: local_vars[n] for n in chosen}
    others = {n: local_vars[n] for n in names if n not in keep}
    return arguments, others


def call_arguments(record: Mapping[str, Any]) -> Any:
    """A call's arguments: a dict where its locals are a mapping, else the locals as stored."""
    split = split_call_locals(record)
    return record.get("locals") if split is None else split[0]
