"""Stock keeping: the items on sale, how many are on hand, and reservations."""

from __future__ import annotations

import threading
from dataclasses import dataclass


class OutOfStock(Exception):
    """A reservation asked for more than is on hand."""

    def __init__(self, sku: str, wanted: int, available: int) -> None:
        super().__init__(f"{sku}: wanted {wanted}, only {available} left")
        self.sku = sku
        self.wanted = wanted
        self.available = available


@dataclass(frozen=True)
class Item:
    sku: str
    name: str
    price_cents: int


class Inventory:
    """Items and their quantities on hand; safe to use from several threads."""

    def __init__(self) -> None:
        self._items: dict[str, Item] = {}
        self._on_hand: dict[str, int] = {}
        self._lock = threading.Lock()

    def add(self, item: Item, quantity: int) -> None:
        with self._lock:
            self._items[item.sku] = item
            self._on_hand[item.sku] = self._on_hand.get(item.sku, 0) + quantity

    def item(self, sku: str) -> Item:
        return self._items[sku]

    def available(self, sku: str) -> int:
        with self._lock:
            return self._on_hand.get(sku, 0)

    def reserve(self, sku: str, quantity: int) -> int:
        """Take ``quantity`` of ``sku`` off the shelf; returns what is left."""
        with self._lock:
            on_hand = self._on_hand.get(sku, 0)
            if quantity > on_hand:
                raise OutOfStock(sku, quantity, on_hand)
            self._on_hand[sku] = on_hand - quantity
            return self._on_hand[sku]

    def release(self, sku: str, quantity: int) -> None:
        """Put back a reservation that could not be completed."""
        with self._lock:
            self._on_hand[sku] += quantity
