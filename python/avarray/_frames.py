"""The frames one file gives for a request, as batches of rows that each fit a byte budget.

Nothing here knows about Ray: a worker opens the `_av.Decoder` itself, so only the request
(plain values) ever travels between processes.
"""
import math
from typing import NamedTuple, Optional, Tuple

import numpy as np

import _av

# The module's output types, each with the most bytes one pixel takes (for "native" that
# of its widest layout, so that a budget holds).
OUTPUT_DTYPES = tuple(_av.output_dtypes)
TRANSFORMS = ("crop", "resize", "rotate")


class Request(NamedTuple):
    """What to read from each file: `num_frames` or `seconds`, never both."""
    num_frames: Optional[int]
    seconds: Optional[Tuple[float, ...]]
    output_dtype: str
    transforms: Tuple[tuple, ...]
    threads: int


def spread(count, wanted):
    """Indices of `wanted` items evenly spread over `count`: the centres of `wanted` equal
    parts, so each index is distinct; every index when there are no more than `wanted`."""
    if count <= wanted:
        return list(range(count))
    return [(2 * i + 1) * count // (2 * wanted) for i in range(wanted)]


def sample_targets(packets, wanted):
    """(pts, seek_pts) for `wanted` packets of `scan()` evenly spread in presentation order,
    each with the last key frame at or before it as seek point (the first packet's pts
    when no key frame comes before it)."""
    if not packets:
        return []
    picks = spread(len(packets), wanted)
    targets, key, p = [], packets[0][0], 0
    for i in picks:
        for pts, _, is_key in packets[p:i + 1]:
            if is_key:
                key = pts
        p = i + 1
        targets.append((packets[i][0], key))
    return targets


def frame_bytes(width, height, output_dtype, transforms):
    """The size of one output picture after the transforms (at least 1)."""
    for name, a, _, c, d in transforms:
        if name in ("crop", "resize"):
            height, width = c, d
        elif name == "rotate" and a % 2:
            height, width = width, height
    return max(1, height * width) * _av.output_dtypes[output_dtype]


def pts_of_start(start, num, den):
    """The timestamp whose start in seconds, as the decoder computes it (num * pts / den
    in double precision, the multiplication first), is `start`."""
    guess = round(start * den / num)
    for pts in (guess, guess - 1, guess + 1):
        if float(num) * float(pts) / float(den) == start:
            return pts
    return guess


def read_batches(source, path, request, max_bytes):
    """Yields the rows of one file as dicts of columns (path, frame, pts, start, duration),
    decoding at most `max_bytes` of pictures per batch (one picture when a single one is
    larger). Raises `_av`'s own errors."""
    decoder = _av.Decoder(source, "video", threads=request.threads)
    try:
        meta = decoder.metadata(apply_rotation=False)
        size = frame_bytes(meta["width"], meta["height"], request.output_dtype, request.transforms)
        per_batch = max(1, max_bytes // size)
        transforms = list(request.transforms)
        if request.num_frames is not None:
            targets = sample_targets(decoder.scan(), request.num_frames)
            for i in range(0, len(targets), per_batch):
                chunk = targets[i:i + per_batch]
                frames, starts, durations = decoder.decode_video(
                    chunk, request.output_dtype, True, transforms)
                yield _rows(path, frames, [pts for pts, _ in chunk], starts, durations)
        else:
            num, den = meta["time_base_num"], meta["time_base_den"]
            for i in range(0, len(request.seconds), per_batch):
                frames, starts, durations = decoder.decode_timestamps(
                    list(request.seconds[i:i + per_batch]), request.output_dtype, transforms)
                pts = [pts_of_start(s, num, den) for s in starts]
                yield _rows(path, frames, pts, starts, durations)
    finally:
        decoder.close()


def _rows(path, frames, pts, starts, durations):
    return {"path": [path] * len(pts), "frame": frames, "pts": np.array(pts, np.int64),
            "start": np.array(starts, np.float64), "duration": np.array(durations, np.float64)}


def check_request(num_frames, seconds, output_dtype, transforms, threads):
    """The request as plain values, or TypeError/ValueError for arguments that cannot work
    on any file."""
    if (num_frames is None) == (seconds is None):
        raise ValueError("give exactly one of num_frames and seconds")
    if num_frames is not None:
        if not _is_int(num_frames):
            raise TypeError(f"num_frames must be an integer, not {type(num_frames).__name__}")
        if num_frames < 1:
            raise ValueError(f"num_frames must be at least 1, got {num_frames}")
        num_frames = int(num_frames)
    else:
        seconds = _check_seconds(seconds)
    if output_dtype not in OUTPUT_DTYPES:
        raise ValueError(f"output_dtype must be one of {', '.join(OUTPUT_DTYPES)}, "
                         f"got {output_dtype!r}")
    transforms = tuple(_check_transform(step) for step in transforms)
    if transforms and output_dtype == "native":
        raise ValueError("transforms require RGB output")
    if not _is_int(threads) or threads < 0:
        raise ValueError(f"threads must be a non-negative integer, got {threads!r}")
    return Request(num_frames, seconds, output_dtype, transforms, int(threads))


def _is_int(value):
    return isinstance(value, (int, np.integer)) and not isinstance(value, bool)


def _check_seconds(seconds):
    if isinstance(seconds, (str, bytes)):
        raise TypeError("seconds must be a sequence of numbers")
    try:
        values = tuple(float(s) for s in seconds)
    except (TypeError, ValueError):
        raise TypeError("seconds must be a sequence of numbers") from None
    if not values:
        raise ValueError("seconds must hold at least one time")
    ordered = all(a < b for a, b in zip(values, values[1:]))
    if not ordered or values[0] < 0 or not all(math.isfinite(s) for s in values):
        raise ValueError("seconds must be finite, non-negative and strictly increasing")
    return values


def _check_transform(step):
    ok = (isinstance(step, tuple) and len(step) == 5 and step[0] in TRANSFORMS
          and all(_is_int(v) and -2**31 <= v < 2**31 for v in step[1:]))
    if not ok:
        raise ValueError(f"invalid transform {step!r}: expected (name, a, b, c, d) with name "
                         f"'crop', 'resize' or 'rotate' and four 32-bit integers")
    return (step[0], *(int(v) for v in step[1:]))
