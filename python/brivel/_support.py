"""The Python side of the compiled module: logging and awaiting.

Called by brivel._brivel on the package's callback thread (logging) or in a coroutine
(until_done); not for scripts.
"""

import asyncio
import logging
from typing import Any

_SERIAL = logging.getLogger("brivel.serial")


def log(name: str, level: int, text: str) -> None:
    """A message of the control on the logger `name`."""
    logging.getLogger(name).log(level, "%s", text)


def serial_line(created: float, text: str) -> None:
    """One line of serial traffic ("1532.418 > 57 00 01 55 4B": milliseconds on the
    process's monotonic clock, the direction, the bytes in hex) on `brivel.serial` at
    DEBUG, stamped with the time the bytes went or came rather than the time the record
    is made."""
    if not _SERIAL.isEnabledFor(logging.DEBUG):
        return
    record = _SERIAL.makeRecord(_SERIAL.name, logging.DEBUG, __file__, 0, "%s", (text,), None,
                                func="serial_line")
    record.created = created
    record.msecs = (created - int(created)) * 1000.0
    record.relativeCreated = (created - logging._startTime) * 1000.0  # type: ignore[attr-defined]
    _SERIAL.handle(record)


async def until_done(status: Any) -> Any:
    """await status: waits without blocking the event loop, then gives status.wait()'s
    result (or raises its exception). A cancelled task stops the operation."""
    loop = asyncio.get_running_loop()
    ended = loop.create_future()

    def settle() -> None:
        if not ended.done():
            ended.set_result(None)

    def on_done(_status: Any) -> None:
        try:
            loop.call_soon_threadsafe(settle)
        except RuntimeError:  # the loop has closed meanwhile
            pass

    status.add_callback(on_done)
    try:
        await ended
    except asyncio.CancelledError:
        status.cancel()
        raise
    return status.wait(0)
