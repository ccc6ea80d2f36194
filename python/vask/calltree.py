"""Call trees: one thread's records as the tree of calls they describe.

A "call", "resume" or "throw" frame record opens a node, the matching (same
frame id) "return", "unwind" or "yield" record closes it.  Plugin records and
"subtree_flushed" markers become leaves where they occur, and so do
assignment records (event "line"), which :meth:`CallNode.walk` shows only
when asked to.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator
from typing import Any

from vask.document import CLOSING_EVENTS, FLUSHED_TYPE, OPENING_EVENTS

__all__ = ["CallNode", "body_kind", "build_call_tree"]


def body_kind(record: dict[str, Any] | None, end: dict[str, Any] | None = None) -> str:
    """What a frame runs: "module" (a module body), "class" (a class body) or "function".

    ``record`` and ``end`` are the frame's opening and closing records (either
    may be ``None``).  A class body's locals are the class namespace, which
    holds ``__module__`` and ``__qualname__`` once the body has begun (the
    opening record of a class body may show it still empty).
    """
    for rec in (record, end):
        if not rec:
            continue
        if rec.get("co_name") == "<module>":
            return "module"
        local_vars = rec.get("locals")
        if (
            isinstance(local_vars, dict)
            and "__module__" in local_vars
            and "__qualname__" in local_vars
        ):
            return "class"
    return "function"


class CallNode:
    """One node of a call tree.

    ``kind`` is "call" (a function call: ``start`` is its opening record,
    ``end`` its closing record or ``None`` when it never returned; ``start`` is
    ``None`` for a call that began before tracing did), "plugin" (a plugin's
    record in ``start``), "flushed" (a "subtree_flushed" marker in ``start``),
    "assign" (an assignment record in ``start``) or "root".
    """

    __slots__ = ("calls_below", "children", "end", "kind", "start")

    def __init__(self, kind: str, start: dict[str, Any] | None = None) -> None:
        self.kind = kind
        self.start = start
        self.end: dict[str, Any] | None = None
        self.children: list[CallNode] = []
        self.calls_below = 0

    @property
    def record(self) -> dict[str, Any]:
        """The record that names this node (opening record, else the closing one)."""
        return self.start if self.start is not None else (self.end or {})

    @property
    def key(self) -> int:
        """Identifies the node among the nodes of its tree."""
        return id(self)

    def walk(
        self,
        max_depth: int | None = None,
        descend: Callable[[CallNode], bool] | None = None,
        assignments: bool = False,
    ) -> Iterator[tuple[int, CallNode]]:
        """(depth, node) of every node below this one, in pre-order, without recursion.

        ``max_depth`` leaves out nodes at that depth and below (the children
        are at depth 0); ``descend``, when given, says whether to go below a
        node; ``assignments`` includes the "assign" leaves.
        """

        def below(node: CallNode) -> list[CallNode]:
            if assignments:
                return node.children
            return [child for child in node.children if child.kind != "assign"]

        stack = [(0, child) for child in reversed(below(self))]
        while stack:
            depth, node = stack.pop()
            yield depth, node
            if max_depth is not None and depth + 1 >= max_depth:
                continue
            if descend is None or descend(node):
                stack.extend((depth + 1, child) for child in reversed(below(node)))


def _frame_key(record: dict[str, Any]) -> Any:
    """The record's frame id as a key; an id of a type no record has (damage) is ``None``."""
    frame_id = record.get("frame_id")
    return frame_id if isinstance(frame_id, (str, int, bytes)) else None


def build_call_tree(records: Iterable[dict[str, Any]]) -> CallNode:
    """The call tree of one thread's records, under a node of kind "root"."""
    root = CallNode("root")
    stack = [root]
    open_ids: dict[Any, int] = {}  # frame id -> how many open nodes carry it
    for record in records:
        rtype = record.get("type")
        if rtype == "frame":
            event = record.get("event")
            frame_id = _frame_key(record)
            if not isinstance(event, str):
                continue
            if event in OPENING_EVENTS:
                node = CallNode("call", record)
                stack[-1].children.append(node)
                stack.append(node)
                open_ids[frame_id] = open_ids.get(frame_id, 0) + 1
                continue
            if event == "line":
                stack[-1].children.append(CallNode("assign", record))
                continue
            if event not in CLOSING_EVENTS:
                continue
            if open_ids.get(frame_id):
                while len(stack) > 1:
                    node = stack.pop()
                    fid = _frame_key(node.record)
                    open_ids[fid] -= 1
                    if fid == frame_id:
                        node.end = record
                        break
                continue
            # Closes a call that began before tracing started: everything
            # recorded at the top level so far ran inside it.
            node = CallNode("call")
            node.end = record
            parent = stack[-1]
            if parent is root:
                node.children, root.children = root.children, []
            parent.children.append(node)
        elif rtype == FLUSHED_TYPE:
            stack[-1].children.append(CallNode("flushed", record))
        elif isinstance(rtype, str):
            stack[-1].children.append(CallNode("plugin", record))
    _count_calls(root)
    return root


def _is_call(node: CallNode) -> bool:
    """Whether the node is a call (a resumed or thrown-into part of a generator is not)."""
    return node.kind == "call" and (node.start is None or node.start.get("event") == "call")


def _count_calls(root: CallNode) -> None:
    """Set ``calls_below`` (number of calls in the subtree, excluding itself)."""
    order = [node for _, node in root.walk()]
    for node in reversed(order):
        node.calls_below = sum(c.calls_below + _is_call(c) for c in node.children)
    root.calls_below = sum(c.calls_below + _is_call(c) for c in root.children)
