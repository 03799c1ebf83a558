"""Looks at the attribute classes as a native caller does: their tables of
internal operations, tracebacks and the collector's clear step."""

import ctypes
import traceback

# Operations in Property's table; a class's new operations follow them.
PROPERTY_OPS = 16
AttrvalueOp = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_int)
Op3 = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.py_object)

_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


# Name of the capsules in which the native classes publish their tables.
TABLE_CAPSULE = b"ruvo.framework.table"


def table_address(cls):
    """The address of the table that the native class publishes."""
    return _get_pointer(cls.__dict__["__pyx_vtable__"], TABLE_CAPSULE)


def table(cls, count):
    """The first ``count`` entries of the class's published table, in place (writable)."""
    return (ctypes.c_void_p * count).from_address(table_address(cls))


def table_of(cls, count):
    """A copy of the first ``count`` entries of the class's published table."""
    return list(table(cls, count))


def frames(info):
    """The function names of a raised exception's traceback entries."""
    return [f.name for f in traceback.extract_tb(info.tb)]


def collector_clear(obj):
    """Runs the type's tp_clear on a live object, as the collector does on a cycle."""
    clear = ctypes.cast(id(type(obj)), ctypes.POINTER(ctypes.c_void_p))[24]  # PyTypeObject.tp_clear
    ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(clear)(obj)


def entries(info):
    """(function name, file name) of a raised exception's traceback entries."""
    return [(f.name, f.filename) for f in traceback.extract_tb(info.tb)]
