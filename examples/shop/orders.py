"""Orders and their prices."""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass, field

from examples.shop.inventory import Inventory

# Customers with a standing discount, in percent.
LOYALTY_DISCOUNTS = {"alice": 10, "dmitri": 5}


@dataclass
class OrderLine:
    sku: str
    quantity: int


@dataclass
class Order:
    order_id: str
    customer: str
    lines: list[OrderLine] = field(default_factory=list)
    status: str = "new"


def priced_lines(order: Order, inventory: Inventory) -> Iterator[tuple[OrderLine, int]]:
    """Each line of the order with its subtotal in cents."""
    for line in order.lines:
        item = inventory.item(line.sku)
        yield line, item.price_cents * line.quantity


def discount_percent(customer: str, subtotal: int) -> int:
    percent = LOYALTY_DISCOUNTS.get(customer, 0)
    if subtotal >= 10_000:  # big orders get 5 points more
        percent += 5
    return percent


def order_total(order: Order, inventory: Inventory) -> int:
    """The order's price in cents, discounts applied."""
    subtotal = sum(amount for _, amount in priced_lines(order, inventory))
    percent = discount_percent(order.customer, subtotal)
    return subtotal - subtotal * percent // 100


def format_cents(cents: int) -> str:
    return f"${cents // 100}.{cents % 100:02d}"
