"""Starts brivel-ioc for the tests: `run_ioc.py [--fake] ARGS...`.

With --fake the IOC drives the stand-in of fake_brivel.py instead of the compiled
package (for a tree where the package is not built)."""

import os
import sys

if __name__ == "__main__":
    args = sys.argv[1:]
    if args and args[0] == "--fake":
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        import fake_brivel
        fake_brivel.install()
        args = args[1:]
    from brivel import ioc
    ioc.main(args)
