"""Expected values from the ffprobe and ffmpeg command-line tools of the FFmpeg version
the module links, independent of our decoder. Every call the tests make to either tool
is in this module.

The tools are built from the same source as the module's libraries; make points
AVARRAY_REFERENCE_TOOLS at them (conftest.py refuses tools of another version). Test
media is made with the ffmpeg on PATH, Debian's, which has the encoders."""
import bisect
import functools
import itertools
import json
import os
import re
import subprocess

import numpy as np

_TOOLS = os.environ.get("AVARRAY_REFERENCE_TOOLS")
FFMPEG = os.path.join(_TOOLS, "ffmpeg") if _TOOLS else "ffmpeg"
FFPROBE = os.path.join(_TOOLS, "ffprobe") if _TOOLS else "ffprobe"


@functools.lru_cache(maxsize=None)
def _version_text():
    return subprocess.run([FFPROBE, "-version"], capture_output=True, text=True, check=True).stdout


def version():
    """The reference tools' FFmpeg version, e.g. "9.0.2"."""
    return _version_text().split()[2]


def library_versions():
    """Each library's (major, minor, micro) as the tools report it: {"libavcodec": (63, 1, 100)}."""
    found = re.findall(r"^(lib\w+)\s+(\d+)\.\s*(\d+)\.\s*(\d+) /", _version_text(), re.M)
    return {name: tuple(int(n) for n in numbers) for name, *numbers in found}


@functools.lru_cache(maxsize=None)
def _probe(path, *args):
    out = subprocess.run([FFPROBE, "-v", "error", "-of", "json", *args, path],
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def _ffmpeg(*args, input=None, tool=FFMPEG):
    """The command-line tool's raw output on stdout."""
    return subprocess.run([tool, "-nostdin", "-v", "error", *args], input=input,
                          capture_output=True, check=True).stdout


def rational(text):
    num, den = (int(x) for x in text.split("/"))
    return num, den


# Streams: `index` is the container's stream index, `nth` counts video streams only (as
# -map 0:v:N does).

def streams(path):
    return _probe(path, "-show_streams", "-show_format")


def stream(path, index):
    return next(s for s in streams(path)["streams"] if s["index"] == index)


def _video_indices(path):
    return [s["index"] for s in streams(path)["streams"] if s.get("codec_type") == "video"]


def stream_index(path, nth=0):
    """The container index of the nth video stream."""
    return _video_indices(path)[nth]


def nth_video(path, index):
    """Position of stream `index` among the file's video streams."""
    return _video_indices(path).index(index)


def time_base(path, nth=0):
    return rational(stream(path, stream_index(path, nth))["time_base"])


def seconds(path, value, nth=0):
    num, den = time_base(path, nth)
    return num * value / den


def rotation(path, index):
    """The display matrix's rotation in degrees as ffprobe reports it, None without one."""
    return next((float(d["rotation"]) for d in stream(path, index).get("side_data_list", [])
                 if d.get("side_data_type") == "Display Matrix"), None)


# Packets and frames.

def packet_list(path):
    """Every packet of every stream in file order, as ffprobe reads them."""
    return _probe(path, "-show_packets", "-show_entries",
                  "packet=stream_index,pts,dts,duration,size,flags")["packets"]


def packets(path, index):
    """(pts or dts, duration, key) of every presented packet of stream `index`,
    stably sorted by timestamp. Empty packets (FFmpeg 8 and later read one for each
    repeated Theora frame) carry no picture or sound, and ffmpeg decodes none."""
    out = [(int(p.get("pts", p.get("dts"))), int(p.get("duration", 0)), p["flags"].startswith("K"))
           for p in packet_list(path)
           if p["stream_index"] == index and "D" not in p["flags"] and int(p["size"]) > 0]
    return sorted(out, key=lambda r: r[0])


def packet_count(path, nth=0):
    """How many packets ffprobe reads of the nth video stream (counted, not listed)."""
    data = _probe(path, "-count_packets", "-select_streams", f"v:{nth}",
                  "-show_entries", "stream=nb_read_packets")
    return int(data["streams"][0]["nb_read_packets"])


def video_frames(path, nth=0):
    """(timestamp, duration) of every decoded frame of the nth video stream, in
    presentation order."""
    data = _probe(path, "-select_streams", f"v:{nth}", "-show_frames",
                  "-show_entries", "frame=pts,best_effort_timestamp,duration")
    return [(int(f.get("pts", f.get("best_effort_timestamp"))), int(f.get("duration", 0)))
            for f in data["frames"]]


def key_packet_count(path, nth=0):
    """How many presented packets of the nth video stream ffprobe flags as key frames,
    dated or not."""
    index = stream_index(path, nth)
    return sum(p["flags"].startswith("K") for p in packet_list(path)
               if p["stream_index"] == index and "D" not in p["flags"] and int(p["size"]) > 0)


@functools.lru_cache(maxsize=None)
def decoded_frames(path, nth=0):
    """(timestamp, duration) of every frame decoded from the start of the nth video
    stream, in presentation order and the stream's time base: ffprobe's
    best_effort_timestamp and duration. Where ffprobe has no timestamp (packets without
    any, as in an elementary stream, or a frame the decoder outputs undated) or repeats
    the one before (the last frame of a raw MPEG-2 stream, output at the drain with the
    last packet's dts), the ffmpeg tool's own timing of that frame, kept as it is
    (-copyts, in the stream's time base) but for the offset by which the tool moves the
    whole stream where it does (an elementary stream's first frame to 0)."""
    data = _probe(path, "-select_streams", f"v:{nth}", "-show_frames", "-show_entries",
                  "frame=best_effort_timestamp,duration,pkt_duration")
    probed = [(f.get("best_effort_timestamp"), f.get("duration", f.get("pkt_duration")))
              for f in data["frames"]]
    probed = [(None if ts is None else int(ts), int(duration or 0)) for ts, duration in probed]
    dated = [ts is not None and (i == 0 or probed[i - 1][0] is None or ts > probed[i - 1][0])
             for i, (ts, _) in enumerate(probed)]
    if all(dated):
        return probed
    num, den = time_base(path, nth)
    out = _ffmpeg("-copyts", "-i", path, "-map", f"0:v:{nth}", "-fps_mode", "passthrough",
                  "-enc_time_base:v", f"{num}/{den}", "-f", "framemd5", "-").decode()
    rows = [line.split(",") for line in out.splitlines() if line and not line.startswith("#")]
    tool = [(int(row[2]), int(row[3])) for row in rows]
    assert len(tool) == len(probed), (len(tool), len(probed))
    offset = next((p[0] - t[0] for p, t, d in zip(probed, tool, dated) if d), 0)
    return [p if d else (t[0] + offset, p[1] or t[1]) for p, t, d in zip(probed, tool, dated)]


def key_points(path, nth=0):
    """Timestamps of the key-frame packets of the nth video stream, ascending."""
    index = stream_index(path, nth)
    return sorted(int(p.get("pts", p.get("dts"))) for p in packet_list(path)
                  if p["stream_index"] == index and p["flags"].startswith("K"))


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
def audio_facts(path, select="a:0"):
    """ffprobe's view of an audio stream (`select` as -select_streams takes it): the time
    of its first frame, its start time, its sample rate, its largest frame and the runs
    of frames with the same channel count as (channels, samples)."""
    info = _probe(path, "-select_streams", select, "-show_entries",
                  "stream=time_base,start_time,sample_rate"
                  ":frame=pts,best_effort_timestamp,nb_samples,channels")
    s, frames = info["streams"][0], info.get("frames", [])
    num, den = rational(s["time_base"])
    first = None
    if frames:
        ts = frames[0].get("pts", frames[0].get("best_effort_timestamp"))
        first = float(num) * float(ts) / float(den)
    start = s.get("start_time")
    runs = itertools.groupby(frames, key=lambda f: int(f["channels"]))
    return {
        "first": first,
        "start": float(start) if start not in (None, "N/A") else None,
        "rate": int(s["sample_rate"]),
        "frame": max((int(f["nb_samples"]) for f in frames), default=0),
        "channel_runs": [(ch, sum(int(f["nb_samples"]) for f in run)) for ch, run in runs],
    }


# Pictures and samples.

PIXEL_FORMATS = {"rgb24": ("u1", 3), "rgb48le": ("<u2", 3), "rgba": ("u1", 4), "gray": ("u1", 1),
                 "gray16le": ("<u2", 1), "gray12le": ("<u2", 1), "gray16be": (">u2", 1)}


def pictures(path, pix_fmt="rgb24", nth=0, count=None, copy=False, scale=None,
             autorotate=False):
    """The pictures ffmpeg gives for the nth video stream, in stored orientation, one
    per decoded frame; with `copy`, the stream's own packets (raw samples); with
    `scale=(height, width)`, converted to `pix_fmt` first and then resized by the `scale`
    filter with bilinear flags; with `autorotate`, turned as the display matrix says."""
    index = stream_index(path, nth)
    width, height = stream(path, index)["width"], stream(path, index)["height"]
    limit = ["-frames:v", str(count)] if count else []
    codec = ["-c", "copy"] if copy else ["-pix_fmt", pix_fmt]
    if scale:
        height, width = scale
        codec += ["-vf", f"format={pix_fmt},scale={width}:{height}:flags=bilinear"]
    if autorotate:
        turns = round((rotation(path, index) or 0.0) / 90)
        if turns % 2:
            height, width = width, height
    rotate = [] if autorotate else ["-noautorotate"]
    raw = _ffmpeg(*rotate, "-i", path, "-map", f"0:v:{nth}", "-fps_mode", "passthrough",
                  *limit, *codec, "-f", "rawvideo", "-")
    dtype, channels = PIXEL_FORMATS[pix_fmt]
    return np.frombuffer(raw, dtype).reshape(-1, height, width, channels)


def scaled(pictures, height, width):
    """`pictures` (N, H, W, 3 of uint8 or uint16) resized by ffmpeg's `scale` filter with
    bilinear flags. libswscale takes the colour of packed RGB in pairs of pixels, so for
    an odd width it reads one pixel past each row; the pictures go in with their last
    column repeated there (an extra column that the `crop` filter hides without copying)."""
    count, h, w, _ = pictures.shape
    pix_fmt = {np.dtype("u1"): "rgb24", np.dtype("<u2"): "rgb48le"}[pictures.dtype]
    padded = np.ascontiguousarray(np.concatenate([pictures, pictures[:, :, -1:]], axis=2))
    raw = _ffmpeg("-f", "rawvideo", "-pix_fmt", pix_fmt, "-s", f"{w + 1}x{h}", "-i", "-",
                  "-vf", f"crop={w}:{h}:0:0,scale={width}:{height}:flags=bilinear",
                  "-pix_fmt", pix_fmt, "-f", "rawvideo", "-", input=padded.tobytes())
    return np.frombuffer(raw, pictures.dtype).reshape(count, height, width, 3)


# Audio: with the tool of the module's own FFmpeg version, every case of test_audio's
# table matches exactly (measured on 9.0.2); against another version's tool, float
# decoders (AAC, Opus) and channel mixing take other SIMD paths and differ in the last
# bits (at most 4.8e-7, on a 5.1 downmix whose peak is 2.1). The bound allows 1e-6 per
# unit of peak level; a real fault (a sample too many, a swapped channel) moves values by 1e-2.
def tolerance(reference):
    return 1e-6 * max(1.0, float(np.abs(reference).max(initial=0.0)))


@functools.lru_cache(maxsize=None)
def cli(path, rate, channels, stream=None, seconds=None):
    """The CLI's planar float output, shape (channels, samples); with `seconds`, of about
    that much of the start only (the resampler's tail then ends it)."""
    select = ["-map", f"0:{stream}"] if stream is not None else []
    limit = ["-t", str(seconds)] if seconds is not None else []
    out = _ffmpeg("-i", path, *select, *limit, "-ac", str(channels), "-ar", str(rate), "-f", "f32le", "-")
    return np.frombuffer(out, "<f4").reshape(-1, channels).T


def demuxing_error(path):
    """The error ffmpeg reports while reading `path` to its end (it stops there and exits
    successfully with what it read), or None."""
    out = subprocess.run([FFMPEG, "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"],
                         capture_output=True, text=True, check=True)
    found = re.search(r"Error during demuxing: (.*)", out.stderr)
    return found.group(1).strip() if found else None


def assert_close(ours, reference):
    assert ours.shape == reference.shape
    if reference.size:
        assert np.abs(ours - reference).max() <= tolerance(reference)


def pattern_clip(path, width, height, seconds):
    """H.264 in MP4 of ffmpeg's testsrc2 pattern at 25 fps (time base 1/12800), a key
    frame every 25 frames."""
    _ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={width}x{height}:rate=25", "-t", str(seconds),
            "-c:v", "libx264", "-g", "25", "-pix_fmt", "yuv420p", str(path), tool="ffmpeg")
