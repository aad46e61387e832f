"""Loading libveldc / VELDC.DLL and declaring its exports for ctypes."""

import ctypes
import ctypes.util
import os
import sys
from typing import Any, Callable

# Sizes of the buffers the library writes into (veldc.h).
ERROR_TEXT_SIZE = 40
REPLY_SIZE = 131
VERSION_SIZE = 12
HOSTNAME_SIZE = 128
PARAM_COUNT = 100
PARAM_SLOT = 17
DIR_ENTRIES = 200
DIR_SLOT = 16
VIEW_MAX = 32767
ERROR_DETAIL_SIZE = 256

_WINDOWS = sys.platform == "win32"
# The exports are stdcall on 32-bit Windows only; everywhere else the C convention.
_STDCALL = _WINDOWS and ctypes.sizeof(ctypes.c_void_p) == 4
FUNCTYPE: Callable[..., Any] = ctypes.WINFUNCTYPE if _STDCALL else ctypes.CFUNCTYPE  # type: ignore

ProgressCallback = FUNCTYPE(
    None, ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_uint, ctypes.c_uint,
    ctypes.c_char_p)
TraceCallback = FUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.POINTER(ctypes.c_ubyte),
                         ctypes.c_int)

_c_int, _c_char_p, _c_void_p = ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p
_PROTOTYPES = {
    "GetError": [_c_char_p],
    "Set232TimeOut": [_c_int],
    "SetKov74TimeOut": [ctypes.c_float],
    "SetWinSockTimeOut": [ctypes.c_short],
    "Get232TimeOut": [],
    "GetWinSockTimeOut": [],
    "GetVeldcVersion": [_c_char_p],
    "GetKov74cVersion": [_c_char_p],
    "GetLocalIPAddress": [_c_char_p],
    "InitCOMM": [_c_int, _c_int, _c_int, _c_int],
    "ExitCOMM": [],
    "DialNumber": [_c_char_p, _c_char_p, _c_int],
    "HangUp": [],
    "SetIPAddress": [_c_char_p],
    "PeloReset": [],
    "PeloCommand": [_c_char_p, _c_char_p],
    "SendCommand": [_c_char_p, _c_char_p],
    "GetMsgEx": [_c_char_p],
    "PostCommand": [_c_char_p],
    "GetResponse": [_c_char_p],
    "SetTerminal": [_c_int],
    "ChgTerminal": [_c_int],
    "SetPassword": [_c_char_p],
    "GetTime": [_c_char_p],
    "SetTime": [_c_char_p],
    "GetDate": [_c_char_p],
    "SetDate": [_c_char_p],
    "GetParameter": [_c_int, _c_char_p],
    "SetParameter": [_c_int, _c_char_p],
    "GetAllParams": [ctypes.POINTER(_c_int), _c_char_p],
    "SetAllParams": [ctypes.POINTER(_c_int), _c_char_p],
    "ChgDrv": [_c_char_p],
    "ListFiles": [_c_char_p, _c_char_p],
    "ViewFile": [_c_char_p, _c_char_p, ctypes.c_uint],
    "DeleFile": [_c_char_p],
    "SendFile": [_c_char_p, _c_char_p, _c_int, _c_int],
    "SendPrg": [_c_char_p],
    "RecvFile": [_c_char_p, _c_char_p],
    "EnableMeter": [_c_int],
    "SetPortName": [_c_int, _c_char_p],
    "SetProgressCallback": [ProgressCallback, _c_void_p],
    "SetTraceCallback": [TraceCallback, _c_void_p],
}
# Exports a newer library has and an older one may lack.
_OPTIONAL = {"GetErrorDetail": [_c_char_p, _c_int], "CancelOperation": []}


def _candidates() -> "list[str]":
    override = os.environ.get("VELDC_LIBRARY")
    if override:
        return [override]
    if _WINDOWS:
        return ["VELDC.DLL"]
    found = ctypes.util.find_library("veldc")
    return ["libveldc.so.1"] + ([found] if found else [])


def load() -> Any:
    """Loads the library (VELDC_LIBRARY names a file to load instead) and declares its exports."""
    loader = ctypes.WinDLL if _STDCALL else ctypes.CDLL  # type: ignore[attr-defined]
    errors = []
    for name in _candidates():
        try:
            library = loader(name)
            break
        except OSError as error:
            errors.append(str(error))
    else:
        raise OSError("cannot load the VELDC library: " + "; ".join(errors))
    for name, arguments in list(_PROTOTYPES.items()) + list(_OPTIONAL.items()):
        try:
            function = getattr(library, name)
        except AttributeError:
            if name in _OPTIONAL:
                continue
            raise
        function.argtypes = arguments
        function.restype = ctypes.c_int
    return library
