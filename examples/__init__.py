"""Example programs to trace with vask (see shop/)."""
