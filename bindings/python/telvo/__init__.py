"""telvo for Python: the 26 functions of telvo.h through ctypes.

    import telvo
    lib = telvo.load(backend="libtelvo_sim.so")   # Linux: the simulated controller
    if lib.telvo_Open() == 1:
        print(lib.firmware_version())

The library is loaded with ctypes.CDLL on every platform: its functions are
cdecl, also in the 32-bit Windows DLL (ctypes.WinDLL would call them as
stdcall and corrupt the stack). It is libtelvo.so.1 on Linux (what the
package libtelvo1 installs; libtelvo.so comes only with libtelvo-dev) and
telvo.dll on Windows, where a 32-bit Python is needed for the 32-bit DLL.

On Linux the library binds its device backend module while it is being
loaded, from the environment variable TELVO_BACKEND. So the module is chosen
only through load(): it sets the variable and then loads the library, and it
refuses a backend once the library is in the process, since it could no
longer take effect.

The records are byte-packed ctypes structures with the header's field
names; the functions take and return what the header says (pointers to the
records by reference: lib.telvo_GetStatus(ctypes.byref(status))).
"""

import ctypes
import os
import sys
import threading

__all__ = [
    "AxisConfig", "MachineConfig", "PinEntry", "IoConfig", "MachineStatus", "MotionSegment",
    "Library", "load", "library_name", "BACKEND_VARIABLE", "MOTION_AXES",
]

BACKEND_VARIABLE = "TELVO_BACKEND"
MOTION_AXES = 6

_c = ctypes


class AxisConfig(_c.Structure):
    """One axis of the machine configuration (30 bytes)."""
    _pack_ = 1
    _fields_ = [
        ("stepsPerUnit", _c.c_int32),
        ("maxVelocity", _c.c_int32),
        ("acceleration", _c.c_int32),
        ("slaveOf", _c.c_uint8),
        ("deviceParam1", _c.c_int32),
        ("deviceParam2", _c.c_int32),
        ("auxVelocity", _c.c_int32),
        ("deviceParam3", _c.c_int32),
        ("deviceParam4", _c.c_uint8),
    ]


class MachineConfig(_c.Structure):
    """The machine configuration given to telvo_Init (231 bytes)."""
    _pack_ = 1
    _fields_ = [
        ("axes", AxisConfig * 7),
        ("machineParam1", _c.c_uint8),
        ("machineParam2", _c.c_int32),
        ("machineParam3", _c.c_int32),
        ("machineParam4", _c.c_int32),
        ("machineParam5", _c.c_uint8),
        ("machineSwitch1", _c.c_uint8),
        ("machineParam6", _c.c_uint8),
        ("reserved", _c.c_uint8 * 4),
        ("machineSwitch2", _c.c_uint8),
    ]


class PinEntry(_c.Structure):
    """One pin assignment: the pin byte and two flag bits."""
    _pack_ = 1
    _fields_ = [
        ("pin", _c.c_uint8),
        ("pinFlags", _c.c_uint8),
    ]


class IoConfig(_c.Structure):
    """The I/O configuration given to telvo_Init (126 bytes)."""
    _pack_ = 1
    _fields_ = [
        ("pins", PinEntry * 47),
        ("ioValues", _c.c_uint16 * 16),
    ]


class MachineStatus(_c.Structure):
    """The status record filled by telvo_GetStatus (62 bytes)."""
    _pack_ = 1
    _fields_ = [
        ("length", _c.c_uint8),
        ("state", _c.c_uint8),
        ("event", _c.c_uint8),
        ("flags", _c.c_uint8),
        ("deviceWord0", _c.c_uint16),
        ("deviceWord1", _c.c_uint16),
        ("position", _c.c_int32 * 7),
        ("spindleRpm", _c.c_float),
        ("bufferLevel", _c.c_uint16),
        ("deviceInt0", _c.c_uint32),
        ("deviceInt1", _c.c_uint32),
        ("deviceInt2", _c.c_uint32),
        ("deviceByte", _c.c_uint8),
        ("eventAxis", _c.c_uint8),
        ("segmentTag", _c.c_int32),
        ("deviceWord2", _c.c_uint16),
    ]


class MotionSegment(_c.Structure):
    """One 1 ms motion segment given to telvo_BufAdd (54 bytes)."""
    _pack_ = 1
    _fields_ = [
        ("target", _c.c_double * 6),
        ("tag", _c.c_int32),
        ("segmentCode", _c.c_uint8),
        ("segmentAux", _c.c_uint8),
    ]


_Axes = _c.c_double * MOTION_AXES

# name: (result, arguments), in telvo.h's order.
_PROTOTYPES = {
    "telvo_Open": (_c.c_int, []),
    "telvo_Close": (_c.c_int, []),
    "telvo_GetFirmwareVersion": (_c.c_char_p, []),
    "telvo_Init": (_c.c_int, [_c.POINTER(MachineConfig), _c.POINTER(IoConfig)]),
    "telvo_GetStatus": (_c.c_int, [_c.POINTER(MachineStatus)]),
    "telvo_CmdPurge": (_c.c_int, [_c.c_int]),
    "telvo_CmdStop": (_c.c_int, [_c.c_uint8]),
    "telvo_CmdSetOutputs": (_c.c_int, [_c.c_uint16, _c.c_uint16, _c.c_uint16]),
    "telvo_CmdJogOn": (_c.c_int, [_c.c_uint8, _c.c_int, _c.c_int]),
    "telvo_CmdJogOff": (_c.c_int, [_c.c_uint8]),
    "telvo_CmdSpindle": (_c.c_int, [_c.c_uint8, _c.c_uint16, _c.c_int]),
    "telvo_CmdHomeAxis": (_c.c_int, [_c.c_uint8]),
    "telvo_SetupMPG": (_c.c_int, [_c.c_uint8, _c.c_double, _c.c_int, _c.c_int]),
    "telvo_Disconnect": (_c.c_int, []),
    "telvo_IsHoming": (_c.c_int, []),
    "telvo_IsProbing": (_c.c_int, []),
    "telvo_GetProbeResult": (_c.c_int, []),
    "telvo_BufAdd": (_c.c_int, [_c.POINTER(MotionSegment)]),
    "telvo_BufFreeCnt": (_c.c_int, []),
    "telvo_BufEmpty": (_c.c_int, []),
    "telvo_BufClear": (_c.c_int, []),
    "telvo_SetBuffSize": (_c.c_int, [_c.c_int]),
    "telvo_BufUpdate": (_c.c_int, []),
    "telvo_PosResync": (None, []),
    "telvo_CmdProbe": (_c.c_int, [_c.POINTER(_c.c_double), _c.POINTER(_c.c_double), _c.c_double]),
    "telvo_GetProbePos": (_c.c_int, [_c.POINTER(_c.c_double)]),
}


def library_name():
    """The file the platform's loader is asked for when load() gets no path."""
    if sys.platform == "win32":
        return "telvo.dll"
    return "libtelvo.so.1"


class Library:
    """The loaded library: each of the 26 functions as an attribute of the
    same name, plus a few conveniences. Made only by load()."""

    def __init__(self, dll, path, backend):
        self._dll = dll
        self.path = path
        self.backend = backend
        for name, (result, arguments) in _PROTOTYPES.items():
            function = getattr(dll, name)
            function.restype = result
            function.argtypes = arguments
            setattr(self, name, function)

    def firmware_version(self):
        """telvo_GetFirmwareVersion as text ("00.00" before an open)."""
        return self.telvo_GetFirmwareVersion().decode("ascii", "replace")

    def probe(self, start, end, speed):
        """telvo_CmdProbe with two sequences of 6 axis values."""
        return self.telvo_CmdProbe(_Axes(*start), _Axes(*end), speed)

    def probe_position(self):
        """telvo_GetProbePos: (result, the 6 axis values)."""
        position = _Axes()
        result = self.telvo_GetProbePos(position)
        return result, list(position)


_lock = threading.Lock()
_loaded = None


def _already_in_process(path):
    """True when the library is mapped in this process already (loaded by
    something other than load())."""
    if sys.platform == "win32" or not hasattr(os, "RTLD_NOLOAD"):
        return False
    try:
        _c.CDLL(path, mode=os.RTLD_NOW | os.RTLD_NOLOAD)
    except OSError:
        return False
    return True


def load(backend=None, path=None):
    """Loads the library once per process and returns it.

    backend (Linux): the device backend module, e.g. "libtelvo_sim.so" for
    the simulated controller; None keeps what TELVO_BACKEND says (unset: the
    USB module). It is set into the environment before the library loads.
    Asking again for another backend once the library is loaded raises
    RuntimeError, since the library has bound its module for good; on
    Windows (always WinUsb.dll) any backend raises ValueError.

    path: the library file; default library_name(), found by the
    platform's loader.
    """
    global _loaded
    if backend is not None:
        if sys.platform == "win32":
            raise ValueError("telvo.dll always uses WinUsb.dll: there is no backend to choose on Windows")
        if not backend:
            raise ValueError("backend: a module's file name or path, or None")
    with _lock:
        if _loaded is not None:
            if backend is not None and backend != _loaded.backend:
                raise RuntimeError(
                    f"telvo is loaded already with backend {_loaded.backend!r}; "
                    f"{backend!r} can only be chosen before the library loads (in a new process)")
            return _loaded
        name = path if path is not None else library_name()
        if backend is not None and _already_in_process(name):
            raise RuntimeError(
                f"{name} was loaded into this process before telvo.load(): its backend was chosen then, "
                f"so {backend!r} cannot take effect")
        if backend is not None:
            os.environ[BACKEND_VARIABLE] = backend  # also the C library's environment (putenv)
        dll = _c.CDLL(name)
        bound = backend if backend is not None else os.environ.get(BACKEND_VARIABLE) or None
        _loaded = Library(dll, name, bound)
        return _loaded
