"""Decode one audio or video stream with FFmpeg into NumPy arrays.

The decoder is the extension module `_av`; `avarray.ray` reads frames from many files
with Ray Data (installed with the `ray` extra).
"""
from _av import Decoder, __version__, ffmpeg_version

__all__ = ["Decoder", "__version__", "ffmpeg_version"]
