"""What the IOC and the Bluesky device share: one thread that owns the instrument,
and the way an asyncio loop waits for a brivel.Status.

Every call that may talk to the controller (open, move_to(wait=False), the settings)
runs on the owner thread, one after another, so the instrument is always used from the
thread that made it; stop() and Status.cancel() are called from wherever the request
arrives, as the package allows. Position reports and the end of an operation arrive on
the control's own thread and are handed to the loop with call_soon_threadsafe.
"""

import asyncio
import concurrent.futures


class Owner:
    """A thread that makes the instrument and runs every call to it."""

    def __init__(self, name="brivel-owner"):
        self._pool = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix=name)

    async def call(self, fn, *args, **kwargs):
        loop = asyncio.get_running_loop()
        return await loop.run_in_executor(self._pool, lambda: fn(*args, **kwargs))

    def call_now(self, fn, *args, **kwargs):
        """The same from a thread without a loop; waits for the result."""
        return self._pool.submit(fn, *args, **kwargs).result()

    def shutdown(self):
        self._pool.shutdown(wait=True)


async def finished(status):
    """Waits, without blocking the loop, until `status` is done; gives its result or
    raises its exception."""
    loop = asyncio.get_running_loop()
    ended = loop.create_future()

    def settle(_status):
        if not ended.done():
            ended.set_result(None)

    def on_done(done_status):
        # Called once, on the control's thread (or here, if already done).
        loop.call_soon_threadsafe(settle, done_status)

    status.add_callback(on_done)
    await ended
    return status.wait(0)


def message_of(error):
    """The English text of what went wrong: the control's message for a BrivelError,
    the exception's own text otherwise."""
    text = getattr(error, "text_en", None) or str(error) or type(error).__name__
    return text


def unsubscribe(instrument, handle):
    """Ends a subscription made with instrument.subscribe(), whatever the handle is."""
    if handle is None:
        return
    for name in ("unsubscribe", "close", "cancel"):
        end = getattr(handle, name, None)
        if callable(end):
            end()
            return
    if callable(handle):
        handle()
        return
    end = getattr(instrument, "unsubscribe", None)
    if callable(end):
        end(handle)
