"""A small test suite of the example shop, to trace with ``pytest --vask``.

Run it from the repository root: ``pytest --vask examples/shop/tests``.
"""

from __future__ import annotations

import pytest

from examples.shop.inventory import Inventory, Item, OutOfStock
from examples.shop.main import fulfil, run
from examples.shop.orders import Order, OrderLine, format_cents, order_total


@pytest.fixture
def inventory() -> Inventory:
    stock = Inventory()
    stock.add(Item("TEA-01", "Assam tea, 250 g", 650), 5)
    stock.add(Item("KTL-03", "Kettle, 1.7 l", 3450), 1)
    return stock


def test_reserve_takes_stock_off_the_shelf(inventory: Inventory) -> None:
    assert inventory.reserve("TEA-01", 2) == 3
    with pytest.raises(OutOfStock):
        inventory.reserve("TEA-01", 4)
    assert inventory.available("TEA-01") == 3


def test_a_short_order_puts_back_what_it_took(inventory: Inventory) -> None:
    order = Order("B-1", "erin", [OrderLine("TEA-01", 2), OrderLine("KTL-03", 2)])
    assert fulfil(order, inventory).startswith("backordered")
    assert inventory.available("TEA-01") == 5


def test_totals_apply_the_loyalty_discount(inventory: Inventory) -> None:
    order = Order("B-2", "alice", [OrderLine("TEA-01", 2)])
    assert format_cents(order_total(order, inventory)) == "$11.70"


def test_the_day_packs_three_orders_of_four() -> None:
    statuses = [order.status for order in run(workers=2)]
    assert sum(status.startswith("packed") for status in statuses) == 3
