"""The serial ports, as `brivelctl ports` lists them."""

import logging
from typing import List, NamedTuple, Optional

from . import _brivel


class PortInfo(NamedTuple):
    """A serial device the system reports."""

    device: str
    """The device path, e.g. '/dev/ttyUSB0'."""
    description: str
    """What the device says it is, e.g. 'FT232R USB UART' ('' when nothing)."""
    manufacturer: str
    serial_number: str
    vid: Optional[int]
    """USB vendor id (None when not a USB device)."""
    pid: Optional[int]
    """USB product id (None when not a USB device)."""
    port: Optional[int]
    """The port number (1 to 16) that maps to this device, so that
    Monochromator(com=port) opens it; None when no number does."""

    @property
    def usb_id(self) -> Optional[str]:
        """'0403:6001', or None when not a USB device."""
        if self.vid is None or self.pid is None:
            return None
        return f"{self.vid:04x}:{self.pid:04x}"


class PortMapping(NamedTuple):
    """What a port number opens."""

    port: int
    """1 to 16."""
    device: Optional[str]
    """The device it opens; None when a broken mapping file leaves it unusable."""
    state: str
    """'present', 'absent' (nothing at that path now) or 'unusable'."""
    source: str
    """'environment' (BRIVEL_COM<n>), 'program', 'mapping file', 'adapter',
    'platform' (/dev/ttyS<n-1>) or 'unusable'."""
    origin: str
    """Where the device came from, e.g. 'BRIVEL_COM3'; for an unusable number, why."""


def list_ports() -> List[PortInfo]:
    """The serial devices the system reports, sorted by device, each with the port
    number that maps to it."""
    return [PortInfo(*row) for row in _brivel._list_ports()]


def port_map() -> List[PortMapping]:
    """What the port numbers 1 to 16 open now. Settings that cannot be used (a
    BRIVEL_COM17, a bad line of the mapping file) are logged as warnings on the
    `brivel` logger."""
    rows, problems, _file, _exists = _brivel._port_map()
    for problem in problems:
        logging.getLogger("brivel").warning("port settings: %s", problem)
    return [PortMapping(*row) for row in rows]


def mapping_file() -> Optional[str]:
    """The mapping file in use (brivel/ports.conf in the configuration folders), or
    None when there is none."""
    _rows, _problems, file, exists = _brivel._port_map()
    return str(file) if exists else None
