"""The README's examples as one program, checked by mypy --strict and run by test_readme.

Each README block is a function; real clips stand in for the placeholder names.
"""
import _av


def api(clip: str, data: bytes, stream_index: int) -> None:
    _av.__version__        # "0.4.1"
    _av.ffmpeg_version     # the linked FFmpeg's version text, e.g. "7.1.5"

    # A path or URL, a bytes object, or any file-like object with read() and seek().
    d = _av.Decoder(clip, "video")                 # best video stream
    with open(clip, "rb") as f:
        d = _av.Decoder(f, "audio")                # best audio stream, read through f
        d.close()
    d = _av.Decoder(data, "video", stream_index=stream_index, threads=0)
    d.close()                                      # releases every FFmpeg resource


def inspection(clip: str) -> None:
    d = _av.Decoder(clip, "video")
    d.metadata()      # header facts, no decoding: 21 keys for video, 12 for audio
    d.metadata(apply_rotation=False)   # skip the display matrix ("rotation" is None)
    d.scan()          # every packet as (pts, duration, is_key), sorted by pts


def video_frames(clip: str) -> None:
    d = _av.Decoder(clip, "video")
    keys = [pts for pts, _, key in d.scan() if key]
    targets = [(1024, 0), (13312, 12800), (512, 0)]   # keys: [0, 12800, 25600]
    assert keys[:2] == [0, 12800]
    frames, starts, durations = d.decode_video(targets, "uint8", True)
    frames.shape      # (3, 240, 320, 3): one picture per target, in the caller's order
    starts            # [0.08, 1.04, 0.04]  seconds, the start of the frame at each position
    durations         # [0.04, 0.04, 0.04]  seconds (0.0 when the decoder gives none)

    d.decode_video([(1000, 0)], "uint8", False)    # not exact: the first frame at or after 1000
    d.decode_video(targets, "float32", True)       # RGB in 0..1
    try:
        d.decode_video(targets, "native", True)    # the decoder's own samples (see below)
    except ValueError:
        pass  # the clip is yuv420p, which native output does not serve

    frames, starts, durations = d.decode_timestamps([0.0, 0.5, 1.25], "uint8")
    starts            # [0.0, 0.48, 1.24]  the start of the frame showing at each second

    # A 512x512 box at row 100, column 200, a quarter turn counter-clockwise, then 224x224.
    steps = [("crop", 100, 200, 512, 512), ("rotate", 1, 0, 0, 0), ("resize", 0, 0, 224, 224)]
    frames, starts, durations = d.decode_video(targets, "uint8", True, transforms=steps)
    frames.shape      # (3, 224, 224, 3)
    d.decode_timestamps([0.0, 0.5], "float32", steps)


def audio(clip: str) -> None:
    d = _av.Decoder(clip, "audio")
    samples, start = d.decode_audio(16000, 1)            # the whole stream, 16 kHz mono
    samples.shape, samples.dtype                         # (1, n), float32
    head, _ = d.decode_audio(44100, 2, stop=30.0)        # about the first 30 seconds, stereo
