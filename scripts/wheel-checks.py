#!/usr/bin/env python3
"""Checks run by check-wheel.sh inside a virtual environment that has the wheel installed.

libraries            every FFmpeg library the process maps after a decode is the wheel's own
coexist SAMPLE       PyAV and OpenCV decode beside the module, each with its own FFmpeg
"""
import os
import re
import sys
import sysconfig


def mapped(pattern):
    """Distinct paths of the mapped files whose base name matches `pattern`."""
    with open("/proc/self/maps") as f:
        paths = {line.split(None, 5)[5].strip() for line in f if len(line.split(None, 5)) == 6}
    return sorted(p for p in paths if re.match(pattern, os.path.basename(p)))


def check_libraries():
    import _av

    site = os.path.realpath(sysconfig.get_paths()["platlib"])
    module = os.path.realpath(_av.__file__)
    assert module.startswith(site + os.sep), f"_av comes from {module}, not from {site}"
    d = _av.Decoder(os.path.join(os.path.dirname(__file__), "..", "samples", "sample.mp4"), "video")
    frames, _, _ = d.decode_video([(0, 0)], "uint8", True)
    assert frames.shape[0] == 1
    libs = mapped(r"lib(av|sw)")
    inside = os.path.join(site, "avarray.libs") + os.sep
    strays = [p for p in libs if not p.startswith(inside)]
    assert libs and not strays, f"FFmpeg libraries from outside the wheel: {strays}"
    print(f"libraries: _av {module} maps only the wheel's FFmpeg {_av.ffmpeg_version}:")
    for p in libs:
        print(f"  {p}")


def check_coexist(sample):
    import av
    import cv2
    import numpy as np

    import _av

    ours, _, _ = _av.Decoder(sample, "video").decode_video([(0, 0)], "uint8", True)
    with av.open(sample) as container:
        pyav = next(container.decode(video=0)).to_ndarray(format="rgb24")
    capture = cv2.VideoCapture(sample, cv2.CAP_FFMPEG)
    ok, bgr = capture.read()
    capture.release()
    assert ok, "OpenCV could not decode the sample"
    opencv = bgr[:, :, ::-1]
    # Three decoders of the same H.264 frame; their RGB conversions may round differently.
    for name, picture in (("PyAV", pyav), ("OpenCV", opencv)):
        assert picture.shape == ours[0].shape, (name, picture.shape, ours[0].shape)
        diff = np.abs(picture.astype(np.int16) - ours[0].astype(np.int16)).mean()
        assert diff < 3, f"{name}'s first frame differs from ours by {diff:.2f} on average"
    codecs = mapped(r"libavcodec")
    owners = {p: next((o for o in ("avarray.libs", "av.libs", "opencv") if f"/{o}" in p), None)
              for p in codecs}
    assert len(codecs) == 3 and None not in owners.values(), f"libavcodec copies: {codecs}"
    print(f"coexist: _av (FFmpeg {_av.ffmpeg_version}), PyAV {av.__version__} "
          f"(FFmpeg {av.ffmpeg_version_info}) and OpenCV {cv2.__version__} decoded the first "
          "frame in one process, each with its own libavcodec:")
    for p in codecs:
        print(f"  {p}")


if __name__ == "__main__":
    if sys.argv[1] == "libraries":
        check_libraries()
    else:
        check_coexist(sys.argv[2])
