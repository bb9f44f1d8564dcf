"""Memory-compact, sparse, dynamic containers keyed by 64-bit integers."""

from ._corvale import *  # noqa: F401,F403
from ._corvale import __all__, __version__  # noqa: F401
