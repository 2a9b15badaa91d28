"""avarray: decode one audio or video stream with FFmpeg into NumPy arrays.

The decoder itself is the extension module ``_av`` (``_av.Decoder``); this package
holds the pure-Python helpers built on it: ``avarray.ray`` reads frames from many files
with Ray Data (the ``ray`` extra).
"""

from importlib.metadata import version as _version

__version__ = _version("avarray")
