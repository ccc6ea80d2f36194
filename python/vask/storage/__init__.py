"""Trace storage in SQLite: ``schema``, ``store``, ``spool``, ``query``, ``maintain``, and
``writer``, the front door every stored document goes through."""
