"""Control a grating monochromator from Python.

The monochromator (and its optional filter wheel) is driven through its motion
controller on a serial line, by the same control logic the embedded control and
brivelctl use.

    import brivel

    with brivel.Monochromator.simulated() as m:     # or Monochromator("/dev/ttyUSB0")
        for nm in m.scan(400, 700, 1):
            print(nm)                                # read your detector here

Failures and refusals the control reports raise brivel.BrivelError subclasses;
messages go to the logging logger "brivel", the serial traffic to "brivel.serial".
"""

import sys as _sys

try:
    from . import _brivel
except ModuleNotFoundError as _missing:  # pragma: no cover - depends on the installation
    # The compiled module exists for one Python version (its file name says which):
    # this Python finds none of its own.
    raise ImportError(
        f"the compiled part of brivel (brivel._brivel) was not built for this Python "
        f"({_sys.executable}, {_sys.version.split()[0]}); install the package with the pip "
        f"of the Python that imports it: {_sys.executable} -m pip install <the brivel source folder>"
    ) from _missing

from ._brivel import BrivelError as BrivelError
from ._brivel import ConnectionError as ConnectionError  # noqa: A004 - the package's own
from ._brivel import Message as Message
from ._brivel import Monochromator as Monochromator
from ._brivel import NotConnectedError as NotConnectedError
from ._brivel import OperationError as OperationError
from ._brivel import OutOfRangeError as OutOfRangeError
from ._brivel import RefusedError as RefusedError
from ._brivel import ResolutionWarning as ResolutionWarning
from ._brivel import Scan as Scan
from ._brivel import StoppedError as StoppedError
from ._brivel import __version__ as __version__
from ._ports import PortInfo as PortInfo
from ._ports import PortMapping as PortMapping
from ._ports import list_ports as list_ports
from ._ports import mapping_file as mapping_file
from ._ports import port_map as port_map

__all__ = [
    "BrivelError",
    "ConnectionError",
    "Message",
    "Monochromator",
    "NotConnectedError",
    "OperationError",
    "OutOfRangeError",
    "PortInfo",
    "PortMapping",
    "RefusedError",
    "ResolutionWarning",
    "Scan",
    "StoppedError",
    "__version__",
    "list_ports",
    "mapping_file",
    "port_map",
]
