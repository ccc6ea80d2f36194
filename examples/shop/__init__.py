"""A small shop: a stock of items, orders priced and packed by two worker threads.

Run it as ``python -m examples.shop`` from the repository root, or as
``python examples/shop/main.py``; trace it with ``vask run -m examples.shop``.
"""
