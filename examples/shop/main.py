"""Fill the shelves, take some orders, and pack them with two worker threads."""

from __future__ import annotations

import argparse
import queue
import sys
import threading
from pathlib import Path

if not __package__:  # run as a script: python examples/shop/main.py
    sys.path.insert(0, str(Path(__file__).resolve().parents[2]))

from examples.shop.inventory import Inventory, Item, OutOfStock
from examples.shop.orders import Order, OrderLine, format_cents, order_total


def stock_shelves() -> Inventory:
    inventory = Inventory()
    inventory.add(Item("TEA-01", "Assam tea, 250 g", 650), 40)
    inventory.add(Item("MUG-02", "Stoneware mug", 1200), 6)
    inventory.add(Item("KTL-03", "Kettle, 1.7 l", 3450), 2)
    return inventory


def incoming_orders() -> list[Order]:
    return [
        Order("A-1001", "alice", [OrderLine("TEA-01", 4), OrderLine("MUG-02", 2)]),
        Order("A-1002", "bob", [OrderLine("KTL-03", 1)]),
        Order("A-1003", "carmen", [OrderLine("KTL-03", 3), OrderLine("TEA-01", 1)]),
        Order("A-1004", "dmitri", [OrderLine("MUG-02", 4), OrderLine("TEA-01", 10)]),
    ]


def fulfil(order: Order, inventory: Inventory) -> str:
    """Reserve every line of the order; on a shortage put back what was taken."""
    reserved: list[OrderLine] = []
    try:
        for line in order.lines:
            inventory.reserve(line.sku, line.quantity)
            reserved.append(line)
    except OutOfStock as shortage:
        for line in reserved:
            inventory.release(line.sku, line.quantity)
        order.status = f"backordered ({shortage})"
        return order.status
    order.status = "packed"
    return order.status


def packer(inventory: Inventory, work: queue.Queue[Order | None], done: list[Order]) -> None:
    while (order := work.get()) is not None:
        fulfil(order, inventory)
        done.append(order)


def run(workers: int = 2) -> list[Order]:
    inventory = stock_shelves()
    work: queue.Queue[Order | None] = queue.Queue()
    done: list[Order] = []
    threads = [
        threading.Thread(target=packer, args=(inventory, work, done), name=f"packer-{n}")
        for n in range(1, workers + 1)
    ]
    for thread in threads:
        thread.start()
    for order in incoming_orders():
        work.put(order)
    for _ in threads:
        work.put(None)
    for thread in threads:
        thread.join()
    for order in done:
        if order.status == "packed":
            order.status += f", total {format_cents(order_total(order, inventory))}"
    return sorted(done, key=lambda order: order.order_id)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--workers", type=int, default=2, help="packer threads (default: 2)")
    args = parser.parse_args(argv)
    for order in run(args.workers):
        print(f"{order.order_id} {order.customer}: {order.status}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
