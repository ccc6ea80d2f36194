"""``python -m examples.shop``: run the shop."""

from examples.shop.main import main

raise SystemExit(main())
