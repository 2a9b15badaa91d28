"""avarray: decode one audio or video stream with FFmpeg into NumPy arrays.

The decoder itself is the extension module ``_av`` (``_av.Decoder``); this package
holds the pure-Python helpers built on it: ``avarray.ray`` reads frames from many files
with Ray Data (the ``ray`` extra).
"""

# One version for the package and the module it is built with.
from _av import __version__  # noqa: F401
