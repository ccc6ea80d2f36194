"""The engines' host: ``recorder`` (what both share), ``profile`` and ``monitor``,
``choice`` (an engine chosen and built), ``lifecycle`` (fork, exec, SIGTERM,
exit) and ``follow`` (a followed process's start)."""
