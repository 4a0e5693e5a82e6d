"""The PC side of the quarnel network terminal, for Python.

Finds terminals on the LAN, connects to one, sends it commands and waits
for their "ok", and receives what its headboxes stream. A thin layer over
libquarnelpc's C interface (ctypes, standard library only)::

    import quarnelpc

    found = quarnelpc.discover(timeout=30)
    with quarnelpc.Terminal(found.terminal, found.data_port) as terminal:
        terminal.headbox_read(1)
        terminal.sync(True)
        for chunk in terminal.chunks(timeout=2):
            ...                     # bytes, as they arrive
        terminal.sync(False)

Every call that waits takes a time-out in seconds and raises TimedOut when
it passes. Failures raise a subclass of quarnelpc.Error whose .code is
quarnelclient's exit code for the same failure. Any thread may call; the
library does its network work on threads of its own, and a callback given
to Terminal.on_data() runs on one of them.
"""

import ctypes
import os
from typing import Callable, Iterator, NamedTuple, Optional, Sequence

__all__ = [
    "Error", "Failure", "UsageError", "Unreachable", "Refused", "Busy", "TimedOut",
    "ConnectionLost", "CheckFailed", "ProtocolError", "NoData", "Announcement", "Discovery", "Terminal", "discover",
    "library_version", "protocol_version",
]

# The shared library; QUARNELPC_LIBRARY names another one (a build tree's).
_lib = ctypes.CDLL(os.environ.get("QUARNELPC_LIBRARY") or "libquarnelpc.so.1")

_STREAM_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t)

# The terminal's command codes (quarnelpc_command_code in quarnelpc_c.h).
CLOCK, TRIGGER_OUT, MULTI_HEAD_LAYOUT = 1, 2, 3
HEADBOX_READ, HEADBOX_WRITE, HEADBOX_READ_WRITE = 4, 5, 6
SYNC, DELAY, CLEAR_RECEIVE_PATH = 7, 8, 9


class _Announcement(ctypes.Structure):
    _fields_ = [
        ("terminal", ctypes.c_char * 64),
        ("headbox_serial", ctypes.c_char * 64),
        ("headbox_count", ctypes.c_int),
        ("data_port", ctypes.c_uint16),
        ("connected_to", ctypes.c_char * 64),
    ]


def _declare(name, restype, *argtypes):
    function = getattr(_lib, name)
    function.restype = restype
    function.argtypes = list(argtypes)


_handle = ctypes.c_void_p
_declare("quarnelpc_library_version", ctypes.c_int)
_declare("quarnelpc_protocol_version", ctypes.c_char_p)
_declare("quarnelpc_error_text", ctypes.c_char_p, ctypes.c_int)
_declare("quarnelpc_last_message", ctypes.c_char_p)
_declare("quarnelpc_discovery_open", ctypes.c_int, ctypes.POINTER(_handle))
_declare("quarnelpc_discovery_next", ctypes.c_int, _handle, ctypes.POINTER(_Announcement), ctypes.c_int)
_declare("quarnelpc_discovery_close", None, _handle)
_declare("quarnelpc_connect", ctypes.c_int, ctypes.c_char_p, ctypes.c_uint16, ctypes.c_uint16, ctypes.c_int,
         ctypes.POINTER(_handle))
_declare("quarnelpc_command", ctypes.c_int, _handle, ctypes.c_int, ctypes.POINTER(ctypes.c_int32),
         ctypes.c_size_t, ctypes.c_int, ctypes.POINTER(ctypes.c_double))
_declare("quarnelpc_raw_command", ctypes.c_int, _handle, ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t,
         ctypes.c_int, ctypes.POINTER(ctypes.c_double))
_declare("quarnelpc_read", ctypes.c_int, _handle, ctypes.c_void_p, ctypes.c_size_t,
         ctypes.POINTER(ctypes.c_size_t), ctypes.c_int)
_declare("quarnelpc_set_stream_callback", ctypes.c_int, _handle, _STREAM_CALLBACK, ctypes.c_void_p)
_declare("quarnelpc_close", ctypes.c_int, _handle, ctypes.c_int)


class Error(Exception):
    """A call failed; .code is quarnelclient's exit code for the failure."""

    code = 1

    def __init__(self, message: str):
        super().__init__(message)
        self.message = message


class Failure(Error):
    """Anything else: a port in use, a program that fell behind the stream."""
    code = 1


class UsageError(Error, ValueError):
    """A bad argument, or a call this thread may not make now."""
    code = 2


class Unreachable(Error, ConnectionError):
    """Host not found, no route, network unreachable."""
    code = 3


class Refused(Error, ConnectionRefusedError):
    """Nothing listens on the port (the terminal is not running yet)."""
    code = 4


class Busy(Error, ConnectionError):
    """The terminal closed the connection at once: another PC has it."""
    code = 5


class TimedOut(Error, TimeoutError):
    """No connection, no "ok", no stream bytes or no terminal in time."""
    code = 6


class ConnectionLost(Error, ConnectionError):
    """The terminal closed the connection, or the network failed."""
    code = 7


class CheckFailed(Error):
    """A recorded stream that fails its check."""
    code = 8


class ProtocolError(Error):
    """The terminal broke the protocol: an "ok" with no command waiting for it."""
    code = 9


class NoData(Error):
    """A recording ended without a byte of the stream."""
    code = 10


_ERRORS = {cls.code: cls for cls in (Failure, UsageError, Unreachable, Refused, Busy, TimedOut,
                                     ConnectionLost, CheckFailed, ProtocolError, NoData)}


def _check(error: int) -> None:
    if error == 0:
        return
    message = _lib.quarnelpc_last_message().decode("utf-8", "replace")
    cls = _ERRORS.get(error, Error)
    raise cls(message or _lib.quarnelpc_error_text(error).decode())


def _ms(seconds: float) -> int:
    """A time-out in whole milliseconds, bounded as the C interface takes it."""
    if seconds < 0:
        raise UsageError("a time-out must not be negative")
    return min(int(seconds * 1000), 2**31 - 1)


def library_version() -> tuple:
    """The loaded library's version as (major, minor, patch)."""
    v = _lib.quarnelpc_library_version()
    return (v >> 16, (v >> 8) & 0xFF, v & 0xFF)


def protocol_version() -> str:
    """The protocol's software version, "1.9.2022.5" style."""
    return _lib.quarnelpc_protocol_version().decode()


class Announcement(NamedTuple):
    """One terminal heard on the LAN: its address, the serial of its first
    headbox, how many headboxes it found, the data port to connect to and
    whom it serves."""
    terminal: str
    headbox_serial: str
    headbox_count: int
    data_port: int
    connected_to: str


class Discovery:
    """Listens for the terminals' broadcasts until closed (several programs
    on one PC may listen at once). A context manager; iterating yields the
    announcements as they are heard, waiting up to `timeout` seconds for
    each."""

    def __init__(self, timeout: float = 30.0):
        """Starts listening; `timeout` is the default wait of next()."""
        self.timeout = timeout
        handle = _handle()
        _check(_lib.quarnelpc_discovery_open(ctypes.byref(handle)))
        self._handle = handle

    def next(self, timeout: Optional[float] = None) -> Announcement:
        """The next announcement heard; raises TimedOut when none comes
        within `timeout` seconds (default: the Discovery's)."""
        if not self._handle:
            raise UsageError("the discovery is closed")
        raw = _Announcement()
        wait = self.timeout if timeout is None else timeout
        _check(_lib.quarnelpc_discovery_next(self._handle, ctypes.byref(raw), _ms(wait)))
        return Announcement(raw.terminal.decode(), raw.headbox_serial.decode("utf-8", "replace"),
                            raw.headbox_count, raw.data_port, raw.connected_to.decode("utf-8", "replace"))

    def __iter__(self) -> Iterator[Announcement]:
        """The announcements as they are heard; raises TimedOut when none
        comes within the Discovery's time-out."""
        while True:
            yield self.next()

    def close(self) -> None:
        """Stops listening; closing twice is fine."""
        handle, self._handle = getattr(self, "_handle", None), None
        if handle:
            _lib.quarnelpc_discovery_close(handle)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        self.close()


def discover(timeout: float = 30.0) -> Announcement:
    """The first terminal heard within `timeout` seconds; raises TimedOut
    when none announces itself."""
    with Discovery(timeout) as discovery:
        return discovery.next()


class Terminal:
    """A connection to one terminal: commands go out one at a time, each
    waited for until its "ok"; the headboxes' stream comes back.

    Terminal(host, data_port=0, answer_port=0, timeout=5.0) connects (0: the
    terminal's default port) and raises Refused, Busy, Unreachable or
    TimedOut when it cannot. A context manager: leaving the block closes the
    connection.

    The stream is read with read() or by iterating over chunks(), or it goes
    to a callback given to on_data(). Once 64 MiB wait unread (minutes of a
    headbox's stream), the library reads no more from the terminal until
    the program has caught up to 32 MiB: TCP holds the terminal back, and a
    headbox that streams on regardless loses words once the terminal's own
    buffers are full. So read at least as fast as the headboxes stream; a
    callback runs on the network thread and holds the stream while it runs.
    """

    def __init__(self, host: str, data_port: int = 0, answer_port: int = 0, timeout: float = 5.0):
        """Connects to the terminal at host, waiting up to `timeout` seconds."""
        self._callback = None
        handle = _handle()
        _check(_lib.quarnelpc_connect(host.encode(), data_port, answer_port, _ms(timeout), ctypes.byref(handle)))
        self._handle = handle

    def _live(self):
        if not self._handle:
            raise UsageError("the terminal is closed")
        return self._handle

    def command(self, code: int, *values: int, timeout: float = 3.0) -> float:
        """Sends command `code` with its values (quarnelpc_c.h lists them)
        and waits up to `timeout` seconds, plus a delay command's pause, for
        its "ok". Returns the round trip in milliseconds; raises TimedOut
        when no "ok" came (the connection stays)."""
        array = (ctypes.c_int32 * max(len(values), 1))(*values)
        round_trip = ctypes.c_double()
        _check(_lib.quarnelpc_command(self._live(), code, array, len(values), _ms(timeout),
                                      ctypes.byref(round_trip)))
        return round_trip.value

    def clock(self, value: int, timeout: float = 3.0) -> float:
        """The link's sampling clock code (8, 12, 16 or 24); see command()."""
        return self.command(CLOCK, value, timeout=timeout)

    def trigger_out(self, rate_cents: int, timeout: float = 3.0) -> float:
        """The trigger output at rate_cents / 100 Hz, 0 = off; see command()."""
        return self.command(TRIGGER_OUT, rate_cents, timeout=timeout)

    def multi_head_layout(self, headboxes: int, data_length: int, total_channels: int, samples_per_packet: int,
                          channels: Sequence[int], timeout: float = 3.0) -> float:
        """The multi-headbox layout (channels: one count per headbox, four);
        all zero switches it off; see command()."""
        if len(channels) != 4:
            raise UsageError("channels holds one count for each of the four headboxes")
        return self.command(MULTI_HEAD_LAYOUT, headboxes, data_length, total_channels, samples_per_packet,
                            *channels, timeout=timeout)

    def headbox_read(self, channel: int, timeout: float = 3.0) -> float:
        """The channel the stream is read from (0 shared, 1 to 4 a headbox); see command()."""
        return self.command(HEADBOX_READ, channel, timeout=timeout)

    def headbox_write(self, channel: int, timeout: float = 3.0) -> float:
        """The channel headbox bytes are written to; see command()."""
        return self.command(HEADBOX_WRITE, channel, timeout=timeout)

    def headbox_read_write(self, channel: int, timeout: float = 3.0) -> float:
        """The channel read from and written to; see command()."""
        return self.command(HEADBOX_READ_WRITE, channel, timeout=timeout)

    def sync(self, on: bool, timeout: float = 3.0) -> float:
        """Sync on (the headboxes stream) or off; see command()."""
        return self.command(SYNC, 1 if on else 0, timeout=timeout)

    def delay(self, ms: int, timeout: float = 3.0) -> float:
        """The terminal pauses ms milliseconds (bounded to a minute) before its "ok"; see command()."""
        return self.command(DELAY, ms, timeout=timeout)

    def clear_receive_path(self, timeout: float = 3.0) -> float:
        """Drops the headbox bytes the terminal holds for the PC; see command()."""
        return self.command(CLEAR_RECEIVE_PATH, timeout=timeout)

    def raw_command(self, code: int, parameters: bytes = b"", timeout: float = 3.0) -> float:
        """Any command code with any parameter bytes; see command()."""
        round_trip = ctypes.c_double()
        _check(_lib.quarnelpc_raw_command(self._live(), code, parameters, len(parameters), _ms(timeout),
                                          ctypes.byref(round_trip)))
        return round_trip.value

    def read(self, size: int = 65536, timeout: float = 1.0) -> bytes:
        """Up to `size` stream bytes, as soon as there are any; raises
        TimedOut when none come within `timeout` seconds, and, once the
        connection has ended and every byte before has been read, the
        reason it ended."""
        buffer = ctypes.create_string_buffer(size)
        got = ctypes.c_size_t()
        _check(_lib.quarnelpc_read(self._live(), buffer, size, ctypes.byref(got), _ms(timeout)))
        return buffer.raw[:got.value]

    def chunks(self, size: int = 65536, timeout: float = 1.0) -> Iterator[bytes]:
        """Yields the stream in chunks of up to `size` bytes as it arrives,
        until the stream has been quiet for `timeout` seconds; raises when
        the connection ends."""
        while True:
            try:
                chunk = self.read(size, timeout)
            except TimedOut:
                return
            yield chunk

    def __iter__(self) -> Iterator[bytes]:
        """The stream, as chunks() gives it with its defaults."""
        return self.chunks()

    def on_data(self, callback: Optional[Callable[[bytes], None]]) -> None:
        """From now on each piece of the stream goes to callback(bytes), on
        the library's network thread; None returns it to read(). The
        callback must return soon and must not call this Terminal's waiting
        calls (they raise UsageError there). Once on_data() returns, the old
        callback is no longer called."""
        if callback is None:
            wrapped = _STREAM_CALLBACK()
        else:
            wrapped = _STREAM_CALLBACK(lambda _user, data, size: callback(ctypes.string_at(data, size)))
        _check(_lib.quarnelpc_set_stream_callback(self._live(), wrapped, None))
        # ctypes frees a callback nobody refers to: this one stays as long as it may be called.
        self._callback = wrapped

    def close(self, timeout: float = 3.0) -> None:
        """Ends the connection gracefully, waiting up to `timeout` seconds;
        closing twice is fine."""
        handle, self._handle = self._handle, None
        if not handle:
            return
        error = _lib.quarnelpc_close(handle, _ms(timeout))
        if error == UsageError.code:
            self._handle = handle   # called from its own callback: still open
        else:
            self._callback = None
        _check(error)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        if getattr(self, "_handle", None):
            _lib.quarnelpc_close(self._handle, 3000)
