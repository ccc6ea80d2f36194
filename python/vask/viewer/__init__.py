"""The local web viewer of stored traces: ``vask traces view``.

:mod:`vask.viewer.server` serves the page in ``static/`` and a small JSON
API over the trace database; :mod:`vask.viewer.queries` answers the API from
a trace's index (:mod:`vask.traceindex`); :mod:`vask.viewer.values` turns
stored values into the JSON the page shows.
"""
