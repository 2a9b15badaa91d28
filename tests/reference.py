"""Expected frames from Debian's ffprobe and ffmpeg command-line tools, independent of
our decoder."""
import bisect
import functools
import json
import subprocess

import numpy as np


def _probe(*args):
    out = subprocess.run(["ffprobe", "-v", "error", "-of", "json", *args],
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


@functools.lru_cache(maxsize=None)
def video_frames(path, nth=0):
    """(timestamp, duration) of every decoded frame of the nth video stream, in
    presentation order."""
    data = _probe("-select_streams", f"v:{nth}", "-show_frames",
                  "-show_entries", "frame=pts,best_effort_timestamp,pkt_duration", path)
    return [(int(f.get("pts", f.get("best_effort_timestamp"))), int(f.get("pkt_duration", 0)))
            for f in data["frames"]]


@functools.lru_cache(maxsize=None)
def key_points(path, nth=0):
    """Timestamps of the key-frame packets of the nth video stream, ascending."""
    data = _probe("-select_streams", f"v:{nth}", "-show_packets",
                  "-show_entries", "packet=pts,dts,flags", path)
    return sorted(int(p.get("pts", p.get("dts"))) for p in data["packets"]
                  if p["flags"].startswith("K"))


def seek_point(path, pts, nth=0):
    """The last key frame at or before `pts` (the first key frame if there is none)."""
    keys = key_points(path, nth)
    i = bisect.bisect_right(keys, pts)
    return keys[max(i - 1, 0)]


def targets(path, nth=0, count=None):
    """Every frame (or the first `count`) with the key frame before it as seek point."""
    frames = video_frames(path, nth)[:count]
    return [(pts, seek_point(path, pts, nth)) for pts, _ in frames]


@functools.lru_cache(maxsize=None)
def stream_index(path, nth=0):
    """The container index of the nth video stream."""
    return _probe("-select_streams", f"v:{nth}", "-show_streams", path)["streams"][0]["index"]


@functools.lru_cache(maxsize=None)
def time_base(path, nth=0):
    stream = _probe("-select_streams", f"v:{nth}", "-show_streams", path)["streams"][0]
    num, den = (int(x) for x in stream["time_base"].split("/"))
    return num, den


def seconds(path, value, nth=0):
    num, den = time_base(path, nth)
    return num * value / den


def pictures(path, pix_fmt="rgb24", nth=0, count=None, copy=False):
    """The pictures ffmpeg gives for the nth video stream, in stored orientation, one
    per decoded frame; with `copy`, the stream's own packets (raw samples)."""
    stream = _probe("-select_streams", f"v:{nth}", "-show_streams", path)["streams"][0]
    width, height = stream["width"], stream["height"]
    limit = ["-frames:v", str(count)] if count else []
    codec = ["-c", "copy"] if copy else ["-pix_fmt", pix_fmt]
    raw = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-noautorotate", "-i", path,
                          "-map", f"0:v:{nth}", "-fps_mode", "passthrough", *limit, *codec,
                          "-f", "rawvideo", "-"], capture_output=True, check=True).stdout
    dtype, channels = {"rgb24": ("u1", 3), "rgb48le": ("<u2", 3), "rgba": ("u1", 4),
                       "gray": ("u1", 1), "gray16le": ("<u2", 1), "gray12le": ("<u2", 1),
                       "gray16be": (">u2", 1)}[pix_fmt]
    return np.frombuffer(raw, dtype).reshape(-1, height, width, channels)


# Audio: the CLI links another FFmpeg version whose float decoders (AAC, Opus) and
# channel mixing take other SIMD paths, so values differ in the last bits (at most
# 4.8e-7 measured, on a 5.1 downmix whose peak is 2.1). The bound allows 1e-6 per unit
# of peak level; a real fault (a sample too many, a swapped channel) moves values by 1e-2.
def tolerance(reference):
    return 1e-6 * max(1.0, float(np.abs(reference).max(initial=0.0)))


@functools.lru_cache(maxsize=None)
def cli(path, rate, channels, stream=None):
    """The CLI's planar float output, shape (channels, samples)."""
    select = ["-map", f"0:{stream}"] if stream is not None else []
    out = subprocess.run(
        ["ffmpeg", "-nostdin", "-v", "error", "-i", path, *select, "-ac", str(channels),
         "-ar", str(rate), "-f", "f32le", "-"],
        capture_output=True, check=True).stdout
    return np.frombuffer(out, "<f4").reshape(-1, channels).T


def assert_close(ours, reference):
    assert ours.shape == reference.shape
    if reference.size:
        assert np.abs(ours - reference).max() <= tolerance(reference)


