"""Workloads for the overhead benchmark. This file is "user code" to the tracer."""

from __future__ import annotations

import fractions
import json
import textwrap


# ---- user-code heavy: many small functions of this module calling each other ----


class Vector:
    def __init__(self, x: float, y: float) -> None:
        self.x = x
        self.y = y

    def add(self, other: "Vector") -> "Vector":
        return Vector(self.x + other.x, self.y + other.y)

    def scale(self, k: float) -> "Vector":
        return Vector(self.x * k, self.y * k)

    def dot(self, other: "Vector") -> float:
        return self.x * other.x + self.y * other.y


def clamp(value: float, low: float, high: float) -> float:
    if value < low:
        return low
    if value > high:
        return high
    return value


def step(position: Vector, velocity: Vector, dt: float) -> Vector:
    return position.add(velocity.scale(dt))


def energy(velocity: Vector) -> float:
    return 0.5 * velocity.dot(velocity)


def simulate(steps: int) -> float:
    position = Vector(0.0, 0.0)
    velocity = Vector(1.0, 0.5)
    total = 0.0
    for i in range(steps):
        position = step(position, velocity, 0.01)
        total += clamp(energy(velocity), 0.0, 10.0)
        if i % 7 == 0:
            velocity = velocity.scale(0.99)
    return total + position.x


def user_heavy(n: int = 4000) -> float:
    return simulate(n)


# ---- library heavy: user code calling standard-library code (filtered out) ----


def library_heavy(n: int = 300) -> int:
    size = 0
    text = "the quick brown fox jumps over the lazy dog " * 4
    for i in range(n):
        size += len(textwrap.fill(text, width=30))
        f = fractions.Fraction(i + 1, 7) + fractions.Fraction(1, 3)
        size += f.denominator
        size += len(json.loads(json.dumps({"i": i, "items": list(range(10))}))["items"])
    return size


# ---- grammar heavy: objects whose repr is expensive, as a parser combinator's ----


class Element:
    """A grammar element: its repr is the text of the whole grammar below it."""

    def __init__(self, name: str, *children: "Element") -> None:
        self.name = name
        self.children = list(children)

    def __repr__(self) -> str:
        if not self.children:
            return self.name
        return f"{self.name}({' + '.join(repr(c) for c in self.children)})"

    def match(self, text: str, pos: int) -> int:
        if not self.children:
            return pos + 1 if pos < len(text) and text[pos] == self.name[0] else -1
        for child in self.children:
            pos = child.match(text, pos)
            if pos < 0:
                return -1
        return pos


def _grammar(depth: int) -> Element:
    if depth == 0:
        return Element("a")
    return Element(f"rule{depth}", _grammar(depth - 1), _grammar(depth - 1))


def grammar_heavy(n: int = 40) -> int:
    grammar = _grammar(6)
    text = "a" * 64
    return sum(grammar.match(text, 0) for _ in range(n))


# ---- repetitive: one parent calling the same small functions many times ----


def convolve(signal: list[float], kernel: list[float], at: int) -> float:
    total = 0.0
    for k, weight in enumerate(kernel):
        total += signal[(at + k) % len(signal)] * weight
    return total


def smooth(signal: list[float], kernel: list[float], n: int) -> float:
    total = 0.0
    for i in range(n):
        total += convolve(signal, kernel, i)
    return total


def repetitive(n: int = 20000) -> float:
    signal = [float(i % 17) for i in range(16)]
    return smooth(signal, [0.25, 0.5, 0.25], n)
