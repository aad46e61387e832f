"""Drive data-collection terminals (clocks, badge readers) through the VELDC library.

    import veldc
    with veldc.Session.serial("/dev/ttyUSB0", address=0) as terminal:
        print(terminal.clock(), terminal.list_files())

The library is libveldc.so.1 on Linux and VELDC.DLL on Windows; VELDC_LIBRARY names another
file to load. Every failure raises VeldcError with the library's code, message and detail.
"""

from .session import (DeviceKind, FileEntry, Meter, Progress, ProgressEvent, Session,
                      TraceKind, VeldcError, cancel, driver_version, last_error, library,
                      library_version, local_ip_address)

try:
    from ._version import __version__
except ImportError:  # a source checkout: the build writes _version.py
    __version__ = "0+unknown"

__all__ = [
    "DeviceKind", "FileEntry", "Meter", "Progress", "ProgressEvent", "Session", "TraceKind",
    "VeldcError", "cancel", "driver_version", "last_error", "library", "library_version",
    "local_ip_address", "__version__",
]
