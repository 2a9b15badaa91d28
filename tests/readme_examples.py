"""The README's examples as one program, checked by mypy --strict and run by test_readme.

Each README block is a function; real clips stand in for the placeholder names, and
asserts check what the README's comments promise on them.
"""
import numpy as np

import _av


def api(clip: str, data: bytes, stream_index: int) -> None:
    _av.__version__        # "0.4.1"
    _av.ffmpeg_version     # the linked FFmpeg's version text, e.g. "7.1.5"

    # A path or URL, a bytes object, or any file-like object with read() and seek().
    d = _av.Decoder(clip, "video")                 # best video stream
    assert d.metadata()["media_type"] == "video"
    with open(clip, "rb") as f:
        d = _av.Decoder(f, "audio")                # best audio stream, read through f
        assert d.metadata()["media_type"] == "audio"
        d.close()
    d = _av.Decoder(data, "video", stream_index=stream_index, threads=0)
    assert d.metadata()["stream_index"] == stream_index
    d.close()                                      # releases every FFmpeg resource
    try:
        d.metadata()
        raise AssertionError("a closed decoder answered")
    except RuntimeError:
        pass


def inspection(clip: str) -> None:
    d = _av.Decoder(clip, "video")
    m = d.metadata()  # header facts, no decoding: 21 keys for video, 12 for audio
    assert len(m) == 21
    assert (m["time_base_num"], m["time_base_den"], m["width"], m["height"]) == (1, 12800, 320, 240)
    d.metadata(apply_rotation=False)   # skip the display matrix ("rotation" is None)
    records = d.scan()  # every packet as (pts, duration, is_key), sorted by pts
    assert records[:2] == [(0, 512, True), (512, 512, False)]
    assert [pts for pts, _, _ in records] == sorted(pts for pts, _, _ in records)


def video_frames(clip: str) -> None:
    d = _av.Decoder(clip, "video")
    keys = [pts for pts, _, key in d.scan() if key]
    targets = [(1024, 0), (13312, 12800), (512, 0)]   # keys: [0, 12800, 25600]
    assert keys == [0, 12800, 25600]
    frames, starts, durations = d.decode_video(targets, "uint8", True)
    frames.shape      # (3, 240, 320, 3): one picture per target, in the caller's order
    starts            # [0.08, 1.04, 0.04]  seconds, the start of the frame at each position
    durations         # [0.04, 0.04, 0.04]  seconds (0.0 when the decoder gives none)
    assert frames.shape == (3, 240, 320, 3) and frames.dtype == np.uint8
    assert (starts, durations) == ([0.08, 1.04, 0.04], [0.04, 0.04, 0.04])

    # not exact: the first frame at or after 1000
    assert d.decode_video([(1000, 0)], "uint8", False)[1] == [0.08]
    rgb = d.decode_video(targets, "float32", True)[0]  # RGB in 0..1
    assert rgb.dtype == np.float32 and 0.0 <= rgb.min() and rgb.max() <= 1.0
    try:
        d.decode_video(targets, "native", True)    # the decoder's own samples (see below)
        raise AssertionError("native output of yuv420p")
    except ValueError:
        pass  # the clip is yuv420p, which native output does not serve

    frames, starts, durations = d.decode_timestamps([0.0, 0.5, 1.25], "uint8")
    starts            # [0.0, 0.48, 1.24]  the start of the frame showing at each second
    assert starts == [0.0, 0.48, 1.24]

    # A 200x200 box at row 20, column 60, a quarter turn counter-clockwise, then 224x224.
    steps = [("crop", 20, 60, 200, 200), ("rotate", 1, 0, 0, 0), ("resize", 0, 0, 224, 224)]
    frames, starts, durations = d.decode_video(targets, "uint8", True, transforms=steps)
    frames.shape      # (3, 224, 224, 3)
    assert frames.shape == (3, 224, 224, 3)
    assert d.decode_timestamps([0.0, 0.5], "float32", steps)[0].shape == (2, 224, 224, 3)


def audio(clip: str, seconds: float) -> None:
    d = _av.Decoder(clip, "audio")
    samples, start = d.decode_audio(16000, 1)            # the whole stream, 16 kHz mono
    samples.shape, samples.dtype                         # (1, n), float32
    assert len(d.metadata()) == 12
    assert samples.dtype == np.float32 and samples.shape[0] == 1
    assert abs(samples.shape[1] - seconds * 16000) < 0.05 * 16000
    head, _ = d.decode_audio(44100, 2, stop=30.0)        # about the first 30 seconds, stereo
    assert head.shape[0] == 2 and abs(head.shape[1] - min(seconds, 30.0) * 44100) < 0.05 * 44100
