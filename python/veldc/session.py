"""A Pythonic face over the library: one Session per open device."""

import ctypes
import datetime
import enum
import os
import threading
from typing import Any, Callable, Dict, Iterable, List, Mapping, NamedTuple, Optional, Union

from . import _library as native

# Terminals speak an 8-bit code page; latin-1 carries every byte through unchanged.
ENCODING = "latin-1"
PathLike = Union[str, "os.PathLike[str]"]


class DeviceKind(enum.IntEnum):
    """The kinds of device InitCOMM opens."""

    KOV74_MODE0 = 0
    KOV74_MODE1 = 1
    SERIAL_NETWORK = 2
    SERIAL_DIRECT = 3
    SERIAL_LOGON = 4
    KOV74_MODE2 = 5
    PELO = 6


class Meter(enum.IntEnum):
    TRANSFER = 110
    CONNECT = 111


class ProgressEvent(enum.IntEnum):
    OPEN = 0
    STEP = 1
    CLOSE = 2
    TEXT = 3


class TraceKind(enum.IntEnum):
    PORT_OUT = 1
    PORT_IN = 2
    UDP_OUT = 3
    UDP_IN = 4
    DRIVER_OUT = 5
    DRIVER_IN = 6


class Progress(NamedTuple):
    """One report of a meter. Transfer: records, bytes done, total bytes (0 when unknown).
    Connect: milliseconds elapsed, the time-out in milliseconds, the status line when it
    changes."""

    meter: Meter
    event: ProgressEvent
    records: int
    done: int
    total: int
    text: Optional[str]


class FileEntry(NamedTuple):
    """One line of a terminal's directory: the file name and its size as the terminal gives it."""

    name: str
    size: Optional[int]
    text: str


class VeldcError(Exception):
    """A failed call: the library's error code, its message and, where the library gives one,
    the detail of what failed."""

    def __init__(self, code: int, message: str, detail: str = "", function: str = "") -> None:
        super().__init__(f"{function}: error {code}: {message}" + (f" ({detail})" if detail else ""))
        self.code = code
        self.message = message
        self.detail = detail
        self.function = function
        self.parameter: Optional[int] = None


_lock = threading.Lock()
_library: Any = None


def library() -> Any:
    """The loaded library (loaded at the first use)."""
    global _library
    with _lock:
        if _library is None:
            _library = native.load()
        return _library


def _text(buffer: Any) -> str:
    return bytes(buffer.value).decode(ENCODING)


def _bytes(text: Optional[str]) -> Optional[bytes]:
    return None if text is None else text.encode(ENCODING)


def last_error(function: str = "") -> VeldcError:
    """The library's pending error as an exception (not raised)."""
    lib = library()
    message = ctypes.create_string_buffer(native.ERROR_TEXT_SIZE)
    code = lib.GetError(message)
    detail = ""
    if hasattr(lib, "GetErrorDetail"):
        buffer = ctypes.create_string_buffer(native.ERROR_DETAIL_SIZE)
        if lib.GetErrorDetail(buffer, native.ERROR_DETAIL_SIZE) >= 0:
            detail = _text(buffer)
    return VeldcError(code, _text(message), detail, function)


def _call(name: str, *arguments: Any) -> int:
    result = getattr(library(), name)(*arguments)
    if result < 0:
        raise last_error(name)
    return result


def library_version() -> str:
    """The library's version text."""
    buffer = ctypes.create_string_buffer(native.VERSION_SIZE)
    _call("GetVeldcVersion", buffer)
    return _text(buffer)


def driver_version() -> str:
    """The Kov74 driver's version text (the driver must be loadable)."""
    buffer = ctypes.create_string_buffer(native.VERSION_SIZE)
    _call("GetKov74cVersion", buffer)
    return _text(buffer)


def cancel() -> None:
    """Asks the call in progress (a transfer, a listing, a wait) to stop at its next boundary;
    it then raises VeldcError 61. Safe from a signal handler or another thread."""
    lib = library()
    if not hasattr(lib, "CancelOperation"):
        raise NotImplementedError("this library has no CancelOperation")
    lib.CancelOperation()


def local_ip_address() -> str:
    """This PC's IPv4 address as a Pelo adapter would reach it."""
    buffer = ctypes.create_string_buffer(native.HOSTNAME_SIZE)
    _call("GetLocalIPAddress", buffer)
    return _text(buffer)


ProgressFunction = Callable[[Progress], None]
TraceFunction = Callable[[TraceKind, bytes], None]


class Session:
    """One open device and, optionally, a selected terminal. Use it as a context manager: the
    device is opened on entry and always closed on exit. The library has one state per process,
    so only one Session can be open at a time.

    port: the COM port number 1-4 (serial and Kov74 kinds) or the UDP port (Pelo).
    device: a device path the port number is mapped to (a pty, /dev/ttyUSB0).
    address: the terminal to select once the device is open (None: select later).
    progress, trace: callables given every meter report and every frame exchanged.
    """

    def __init__(self, kind: DeviceKind, port: int = 1, speed: int = 9600, format: int = 0, *,
                 device: Optional[str] = None, ip: Optional[str] = None,
                 address: Optional[int] = None, password: Optional[str] = None,
                 timeout: Optional[int] = None, progress: Optional[ProgressFunction] = None,
                 trace: Optional[TraceFunction] = None) -> None:
        self.kind = DeviceKind(kind)
        self.port, self.speed, self.format = port, speed, format
        self.device, self.ip, self.address = device, ip, address
        self.password, self.timeout = password, timeout
        self.progress, self.trace = progress, trace
        self.is_open = False
        self._callback_error: Optional[BaseException] = None
        self._progress_thunk = native.ProgressCallback(self._on_progress)
        self._trace_thunk = native.TraceCallback(self._on_trace)

    @classmethod
    def serial(cls, device: str, kind: DeviceKind = DeviceKind.SERIAL_DIRECT, speed: int = 9600,
               format: int = 0, **options: Any) -> "Session":
        """A serial kind on a device path (COM port 1 is mapped to it)."""
        return cls(kind, 1, speed, format, device=device, **options)

    @classmethod
    def pelo(cls, ip: str, port: int, **options: Any) -> "Session":
        """A Pelo Ethernet adapter at ip, on the UDP port both ends use."""
        return cls(DeviceKind.PELO, port, 0, 0, ip=ip, **options)

    @classmethod
    def kov74(cls, port: int, mode: int = 0, speed: int = 0, **options: Any) -> "Session":
        """The Kov74 driver on COM port `port`, driver mode 0, 1 or 2."""
        kinds = (DeviceKind.KOV74_MODE0, DeviceKind.KOV74_MODE1, DeviceKind.KOV74_MODE2)
        return cls(kinds[mode], port, speed, 0, **options)

    # ---- open and close ---------------------------------------------------------------------

    def open(self) -> "Session":
        """Opens the device, connects to the Pelo adapter and selects the terminal, as given."""
        lib = library()
        if self.device is not None:
            _call("SetPortName", self.port, _bytes(self.device))
        try:
            if self.timeout is not None:
                self.set_timeout(self.timeout)
            self._check(lib.InitCOMM(self.port, int(self.kind), self.speed, self.format),
                        "InitCOMM")
        except BaseException:
            if self.device is not None:
                lib.SetPortName(self.port, None)
            raise
        self.is_open = True
        # The callbacks are this session's while it is open, and nobody's after.
        lib.SetProgressCallback(self._progress_thunk, None)
        lib.SetTraceCallback(self._trace_thunk, None)
        lib.EnableMeter(1 if self.progress else 0)
        try:
            if self.ip is not None:
                self._check(lib.SetIPAddress(_bytes(self.ip)), "SetIPAddress")
            if self.password is not None:
                self.set_password(self.password)
            if self.address is not None:
                self.select(self.address)
        except BaseException:
            self.close()
            raise
        return self

    def close(self) -> None:
        """Closes the device (a failure to close is raised after the device is given up)."""
        if not self.is_open:
            return
        self.is_open = False
        lib = library()
        result = lib.ExitCOMM()
        error = last_error("ExitCOMM") if result < 0 else None
        lib.SetProgressCallback(ctypes.cast(None, native.ProgressCallback), None)
        lib.SetTraceCallback(ctypes.cast(None, native.TraceCallback), None)
        if self.device is not None:
            lib.SetPortName(self.port, None)
        if error:
            raise error

    def __enter__(self) -> "Session":
        return self.open()

    def __exit__(self, kind: Any, value: Any, traceback: Any) -> None:
        if kind is None:
            self.close()
            return
        try:
            self.close()
        except VeldcError:
            pass  # the failure already on its way matters more

    # ---- callbacks --------------------------------------------------------------------------

    def _on_progress(self, context: Any, meter: int, event: int, records: int, done: int,
                     total: int, text: Optional[bytes]) -> None:
        if self.progress is None or self._callback_error is not None:
            return
        try:
            self.progress(Progress(Meter(meter), ProgressEvent(event), records, done, total,
                                   None if text is None else text.decode(ENCODING)))
        except BaseException as error:  # raised once the library returns
            self._callback_error = error

    def _on_trace(self, context: Any, kind: int, data: Any, length: int) -> None:
        if self.trace is None or self._callback_error is not None:
            return
        try:
            self.trace(TraceKind(kind), ctypes.string_at(data, length) if length > 0 else b"")
        except BaseException as error:
            self._callback_error = error

    def _check(self, result: int, name: str) -> int:
        error, self._callback_error = self._callback_error, None
        if error is not None:
            raise error
        if result < 0:
            raise last_error(name)
        return result

    def _run(self, name: str, *arguments: Any) -> int:
        return self._check(getattr(library(), name)(*arguments), name)

    def _reply(self, name: str, *arguments: Any, size: int = native.REPLY_SIZE) -> str:
        buffer = ctypes.create_string_buffer(size)
        self._run(name, *arguments, buffer)
        return _text(buffer)

    # ---- settings ---------------------------------------------------------------------------

    def set_timeout(self, seconds: int) -> None:
        """Reply time-out of this session's kind: serial, Kov74 or Pelo."""
        if self.kind == DeviceKind.PELO:
            self._run("SetWinSockTimeOut", seconds)
        elif self.kind in (DeviceKind.KOV74_MODE0, DeviceKind.KOV74_MODE1,
                           DeviceKind.KOV74_MODE2):
            self._run("SetKov74TimeOut", float(seconds))
        else:
            self._run("Set232TimeOut", seconds)

    @property
    def serial_timeout(self) -> int:
        """The serial kinds' reply time-out, seconds."""
        return library().Get232TimeOut()

    @property
    def pelo_timeout(self) -> int:
        """The Pelo reply time-out, seconds."""
        return library().GetWinSockTimeOut()

    # ---- modem ------------------------------------------------------------------------------

    def dial(self, number: str, init: str = "", timeout: int = 60) -> None:
        """Dials a number on the modem of a serial line and waits for the connection."""
        self._run("DialNumber", _bytes(init), _bytes(number), timeout)

    def hang_up(self) -> None:
        self._run("HangUp")

    # ---- Pelo adapter -----------------------------------------------------------------------

    def set_ip_address(self, ip: str) -> None:
        """Connects to the Pelo adapter at ip."""
        self._run("SetIPAddress", _bytes(ip))

    def pelo_reset(self) -> None:
        self._run("PeloReset")

    def pelo_command(self, command: str) -> str:
        """A command to the Pelo adapter itself; its reply."""
        return self._reply("PeloCommand", _bytes(command))

    # ---- commands and replies ---------------------------------------------------------------

    def send_command(self, command: str) -> str:
        """Sends a command to the selected terminal and returns its reply."""
        return self._reply("SendCommand", _bytes(command))

    def get_message(self) -> str:
        """A line the terminal sent on its own, waiting at most a second."""
        return self._reply("GetMsgEx")

    def post_command(self, command: str) -> None:
        """Sends a command without waiting for its reply (see get_response)."""
        self._run("PostCommand", _bytes(command))

    def get_response(self) -> str:
        """The reply to a posted command, if it has arrived (error 40 on a line if not)."""
        return self._reply("GetResponse")

    # ---- selection --------------------------------------------------------------------------

    def select(self, address: int) -> None:
        """Selects and identifies (or logs on to) the terminal at address."""
        self._run("SetTerminal", address)
        self.address = address

    def change_terminal(self, address: int) -> None:
        """Switches to another address without identification or log-on."""
        self._run("ChgTerminal", address)
        self.address = address

    def set_password(self, password: str) -> None:
        self._run("SetPassword", _bytes(password))

    # ---- clock ------------------------------------------------------------------------------

    def time(self) -> datetime.time:
        text = self._reply("GetTime")
        return datetime.time(int(text[0:2]), int(text[2:4]), int(text[4:6]))

    def set_time(self, value: datetime.time) -> None:
        self._run("SetTime", value.strftime("%H%M%S").encode())

    def date(self) -> datetime.date:
        """The terminal's date (the terminal keeps two digits of the year: 2000 to 2099)."""
        text = self._reply("GetDate")  # WYYMMDD
        return datetime.date(2000 + int(text[1:3]), int(text[3:5]), int(text[5:7]))

    def set_date(self, value: datetime.date) -> None:
        weekday = value.isoweekday() % 7  # 0 is Sunday
        self._run("SetDate", f"{weekday}{value:%y%m%d}".encode())

    def clock(self) -> datetime.datetime:
        """The terminal's date and time."""
        return datetime.datetime.combine(self.date(), self.time())

    def set_clock(self, value: Optional[datetime.datetime] = None) -> None:
        """Sets the terminal's time and date (default: this PC's local time)."""
        value = value or datetime.datetime.now()
        self.set_time(value.time())
        self.set_date(value.date())

    # ---- parameters -------------------------------------------------------------------------

    def get_parameter(self, number: int) -> str:
        return self._reply("GetParameter", number)

    def set_parameter(self, number: int, value: str) -> None:
        self._run("SetParameter", number, _bytes(value))

    def _block_call(self, name: str, selection: Any, block: Any) -> None:
        result = getattr(library(), name)(selection, block)
        self._check(max(result, 0), name)  # a callback's failure first
        if result < 0:
            error = last_error(name)
            # i - 100 names the parameter i that failed; -1 may be 99 or the call itself.
            error.parameter = result + 100 if result < -1 else None
            raise error

    def get_parameters(self, numbers: Optional[Iterable[int]] = None) -> Dict[int, str]:
        """The parameters numbered (all 100 by default), in one exchange per parameter."""
        wanted = sorted(set(range(native.PARAM_COUNT) if numbers is None else numbers))
        selection = (ctypes.c_int * native.PARAM_COUNT)()
        for number in wanted:
            selection[number] = 1
        block = ctypes.create_string_buffer(native.PARAM_COUNT * native.PARAM_SLOT)
        self._block_call("GetAllParams", selection, block)
        slot = native.PARAM_SLOT
        return {n: block.raw[n * slot:(n + 1) * slot].split(b"\0")[0].decode(ENCODING)
                for n in wanted}

    def set_parameters(self, values: Mapping[int, str]) -> None:
        """Sets every parameter given (at most 16 characters each)."""
        selection = (ctypes.c_int * native.PARAM_COUNT)()
        block = ctypes.create_string_buffer(native.PARAM_COUNT * native.PARAM_SLOT)
        for number, value in values.items():
            encoded = value.encode(ENCODING)
            if not 0 <= number < native.PARAM_COUNT or len(encoded) >= native.PARAM_SLOT:
                raise ValueError(f"parameter {number}: {value!r}")
            selection[number] = 1
            ctypes.memmove(ctypes.addressof(block) + number * native.PARAM_SLOT, encoded,
                           len(encoded))
        self._block_call("SetAllParams", selection, block)

    # ---- drives and files -------------------------------------------------------------------

    def change_drive(self, drive: str) -> None:
        """Makes drive A, B or C current."""
        self._run("ChgDrv", _bytes(drive))

    def list_files(self, name: Optional[str] = None) -> List[FileEntry]:
        """The current drive's directory (or the entries matching name)."""
        entries = ctypes.create_string_buffer(native.DIR_ENTRIES * native.DIR_SLOT)
        pattern = ctypes.create_string_buffer(_bytes(name)) if name else None
        count = self._run("ListFiles", pattern, entries)
        listing = []
        for i in range(count):
            raw = entries.raw[i * native.DIR_SLOT:(i + 1) * native.DIR_SLOT]
            text = raw.split(b"\0")[0].decode(ENCODING)
            fields = text.split()
            size = int(fields[-1]) if len(fields) > 1 and fields[-1].isdigit() else None
            listing.append(FileEntry(fields[0] if fields else "", size, text))
        return listing

    def view_file(self, name: str, size: int = native.VIEW_MAX) -> List[str]:
        """The lines of a terminal file, as many as fit in size bytes (at most 32767)."""
        buffer = ctypes.create_string_buffer(size + 1)
        self._run("ViewFile", ctypes.create_string_buffer(_bytes(name)), buffer, size)
        return _text(buffer).splitlines()

    def delete_file(self, name: str) -> None:
        self._run("DeleFile", ctypes.create_string_buffer(_bytes(name)))

    def send_file(self, path: PathLike, name: str, protect: bool = False, option: int = 0) -> int:
        """Downloads a PC text file into the terminal, one record a line; the records sent."""
        return self._run("SendFile", os.fsencode(path), ctypes.create_string_buffer(_bytes(name)),
                         1 if protect else 0, option)

    def send_program(self, path: PathLike) -> int:
        """Loads a PC file as the terminal's program; the records sent."""
        return self._run("SendPrg", os.fsencode(path))

    def receive_file(self, name: str, path: PathLike) -> int:
        """Uploads a terminal file into a PC file; the records written."""
        return self._run("RecvFile", ctypes.create_string_buffer(_bytes(name)),
                         os.fsencode(path))
