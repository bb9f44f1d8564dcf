"""Resident memory as the benchmarks read it.

The garbage is collected and the C library hands back the free memory it
keeps (glibc's malloc_trim(0)) before the resident set is read, so that
free blocks left by earlier work (a dict's or list's old tables, freed
objects) neither hide nor add to what a container holds. Linux only
(/proc/self/statm). Imported by the scripts beside it, which run it from
their own directory (sys.path[0])."""

import ctypes
import gc
import os

_PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    """Resident bytes of this process, once the C library gave back what it could."""
    gc.collect()
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):  # not glibc: nothing to trim
        pass
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * _PAGE
