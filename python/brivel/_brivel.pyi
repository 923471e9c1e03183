"""Control a grating monochromator from Python.

The monochromator (and its optional filter wheel) is driven through its motion
controller on a serial line, by the same control logic the embedded control and
brivelctl use.

    import brivel

    with brivel.Monochromator.simulated() as m:     # or Monochromator("/dev/ttyUSB0")
        for nm in m.scan(400, 700, 1):
            print(nm)                                # read your detector here
"""

import builtins
import os
from typing import Callable, Iterable, Iterator, List, Literal, Mapping, Optional, Sequence, Tuple, Union

__version__: str

_Path = Union[str, bytes, os.PathLike]
_Confirm = Union[None, bool, Callable[[str], object]]
_MemoryValue = Union[int, float, str, Sequence[float]]

class Message:
    """A message of the control: what an operator's message box would show."""

    @property
    def kind(self) -> Literal["information", "success", "question", "refusal", "failure"]: ...
    @property
    def text(self) -> str:
        """The text in the language in force."""
    @property
    def title(self) -> str: ...
    @property
    def text_en(self) -> str: ...
    @property
    def text_zh(self) -> str: ...
    @property
    def title_en(self) -> str: ...
    @property
    def title_zh(self) -> str: ...

class BrivelError(Exception):
    """The monochromator did not do what a call asked for.

    str() gives the control's message in the language in force, followed by the
    detail in brackets.
    """

    text: str
    """The message in the language in force."""
    text_en: str
    text_zh: str
    detail: str
    """What the control told the host besides (why a port could not be opened, what a
    download that stopped had already written); empty when nothing."""
    detail_en: str
    detail_zh: str
    reason: str
    """The detail, or the text when there is no detail."""
    operation: str
    """The method that raised, e.g. 'move_to'."""
    messages: List[Message]
    """Every message the control showed during the call."""
    device: Optional[str]
    """The serial device (ConnectionError, NotConnectedError), else None."""

class RefusedError(BrivelError):
    """The control refused: the operation did not start and nothing was sent."""

class OutOfRangeError(RefusedError, ValueError):
    """An entry lies outside the range the control accepts; nothing was sent."""

class OperationError(BrivelError):
    """The operation started and did not end as asked."""

class ConnectionError(BrivelError, builtins.ConnectionError):
    """The monochromator could not be connected, or the connection was lost."""

class NotConnectedError(RefusedError, ConnectionError):
    """The instrument is not connected: call open() first. Nothing was sent."""

class StoppedError(BrivelError):
    """The call was stopped from outside (stop() from another thread); the motor was stopped."""

class ResolutionWarning(UserWarning):
    """A request finer than the instrument can follow (a scan step below one motor step)."""

def _list_ports() -> List[Tuple[str, str, str, str, Optional[int], Optional[int], Optional[int]]]: ...
def _port_map() -> Tuple[List[Tuple[int, Optional[str], str, str, str]], List[str], str, bool]: ...

class Scan(Iterator[float]):
    """The moves of Monochromator.scan(), one per iteration."""

    def __iter__(self) -> "Scan": ...
    def __next__(self) -> float:
        """Moves to the next wavelength and gives the wavelength the controller reports."""
    def __len__(self) -> int:
        """The number of wavelengths."""

class Monochromator:
    """A monochromator on a serial port.

    device: a path ("/dev/ttyUSB0", "/dev/serial/by-id/...") or a name under /dev;
    com: instead of a device, the port number 1 to 16 (BRIVEL_COM<n>, the mapping file, USB adapters, /dev/ttyS<n-1>);
    confirm: answers the control's questions: None answers yes, a bool always that, a
    callable gets the question's text and answers with its truth value.

    Nothing is opened until open() or a with block. Use it from the thread that made it;
    only stop() may be called from other threads.
    """

    def __init__(self, device: Optional[_Path] = None, *, com: Optional[int] = None,
                 confirm: _Confirm = None) -> None: ...
    @staticmethod
    def simulated(*, faults: Iterable[str] = (), rate: Optional[float] = None,
                  memory: Optional[Mapping[str, _MemoryValue]] = None,
                  confirm: _Confirm = None) -> "Monochromator":
        """A monochromator on the simulated controller, served in this process on a
        pseudo-terminal.

        faults: "silent", "silent-after=N", "wrong-letter", "wrong-letter=LETTERS",
        "garble=P", "drop=P", "stall", "no-ack", "vanish", "slow=SECONDS", "seed=N";
        rate: motor steps per second per unit of speed (40 by default);
        memory: year, instrument_no, grating, zero, blaze, power_on, power_on_nm, type,
        speed, filter_state, filter_a, filter_b, filters.
        """

    # ---- connection ----
    def open(self) -> None:
        """Opens the port and identifies the instrument; ConnectionError when it fails."""
    def close(self) -> None:
        """Closes the port. Nothing is sent."""
    def __enter__(self) -> "Monochromator": ...
    def __exit__(self, *exc: object) -> Literal[False]: ...

    # ---- motion ----
    def move_to(self, nm: float) -> float:
        """Moves to nm (0 to 99999) and gives the wavelength reported at the end."""
    def move_by(self, nm: float) -> float:
        """Moves by nm (negative: downwards) and gives the wavelength reported at the end."""
    def stop(self) -> None:
        """The stop button; from another thread it ends the running call (StoppedError)."""
    def reposition(self) -> None:
        """Sends the grating back to its reference position (asks confirm first)."""
    def refresh(self) -> None:
        """Reads the instrument's data again."""
    def scan(self, start: float, stop: float, step: float = 1.0) -> Scan:
        """Moves to start, start + step, ... up to stop, yielding each reported wavelength."""

    # ---- state ----
    @property
    def wavelength(self) -> float:
        """The current wavelength, nm (0.01 nm)."""
    @property
    def step_nm(self) -> float:
        """Wavelength per motor step, nm."""
    @property
    def grating_lines(self) -> int:
        """Grating line density, lines per mm."""
    @property
    def instrument_no(self) -> int: ...
    @property
    def zero_offset(self) -> int:
        """Zero offset, motor steps."""
    @property
    def year(self) -> str:
        """Manufacture year as the instrument gives it, e.g. '21'."""
    @property
    def busy(self) -> bool: ...
    @property
    def connected(self) -> bool: ...
    @property
    def com(self) -> int: ...
    @property
    def device(self) -> str: ...
    @property
    def is_simulated(self) -> bool: ...
    @property
    def simulator_log(self) -> Optional[List[str]]:
        """Monochromator.simulated(): the commands the controller received, e.g. 'W 00 01 86 A0'."""
    @property
    def speed(self) -> int:
        """Motor speed, 1 to 250."""
    @speed.setter
    def speed(self, value: int) -> None: ...
    @property
    def power_on_wavelength(self) -> float:
        """Wavelength at power-on, nm (0 to 6553.5)."""
    @power_on_wavelength.setter
    def power_on_wavelength(self, value: float) -> None: ...
    @property
    def language(self) -> Literal["en", "zh"]:
        """Language of the messages; one value for every instrument of this thread."""
    @language.setter
    def language(self, value: Literal["en", "zh"]) -> None: ...
    @property
    def filter_wheel(self) -> Optional[bool]:
        """True in use, False not in use, None not set up."""
    @filter_wheel.setter
    def filter_wheel(self, value: bool) -> None: ...
    @property
    def filters(self) -> List[float]:
        """The filters' start wavelengths, nm, as last read back."""
    @filters.setter
    def filters(self, value: Sequence[float]) -> None: ...

    # ---- parameters ----
    def save_parameters(self, path: _Path) -> None:
        """Writes the instrument's parameter set to a file."""
    def load_parameters(self, path: _Path) -> None:
        """Downloads a parameter file into the instrument, which then resets and reconnects."""

    # ---- the control's own member names ----
    def OpenCom(self) -> None: ...
    def CloseCom(self) -> None: ...
    def MonochromatorMoveTo(self, dblWavelen: float) -> None: ...
    def SaveParameter(self, strFilePath: _Path) -> None: ...
    def LoadParameter(self, strFilePath: _Path) -> None: ...
    def ShowParaFace(self) -> None: ...
    def ShowRunFace(self) -> None: ...
    IntUseCom: int
    IntSpeed: int
    DblOpenPos: float
    IntLanguage: int
    @property
    def BlnBusy(self) -> bool: ...
    @property
    def BlnMonConnectFlag(self) -> bool: ...
    @property
    def DblMonoWaveLen(self) -> float: ...
    @property
    def LngInstrumentNo(self) -> int: ...
    @property
    def IntGratingLines(self) -> int: ...
    @property
    def LngZeroPos(self) -> int: ...
    @property
    def DblMonoStep(self) -> float: ...
    @property
    def StrYear(self) -> str: ...
