"""Starts brivel-ioc for the tests: `run_ioc.py ARGS...` (the console script's main)."""

from brivel import ioc

if __name__ == "__main__":
    import sys

    ioc.main(sys.argv[1:])
