"""Reference values from Debian's ffprobe, independent of our decoder."""
import functools
import json
import subprocess


def _run(*args):
    out = subprocess.run(["ffprobe", "-v", "error", "-of", "json", *args],
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


@functools.lru_cache(maxsize=None)
def streams(path):
    return _run("-show_streams", "-show_format", path)


def stream(path, index):
    return next(s for s in streams(path)["streams"] if s["index"] == index)


@functools.lru_cache(maxsize=None)
def packets(path, index):
    """(pts or dts, duration, key) of every presented packet of stream `index`,
    stably sorted by timestamp, as ffprobe reads them."""
    data = _run("-show_packets", "-show_entries", "packet=stream_index,pts,dts,duration,flags", path)
    out = []
    for p in data.get("packets", []):
        if p["stream_index"] != index or "D" in p.get("flags", ""):
            continue
        ts = p.get("pts", p.get("dts"))
        out.append((int(ts), int(p.get("duration", 0)), p["flags"].startswith("K")))
    return sorted(out, key=lambda r: r[0])


def rational(text):
    num, den = (int(x) for x in text.split("/"))
    return num, den


def rotation(path, index):
    for side in stream(path, index).get("side_data_list", []):
        if side.get("side_data_type") == "Display Matrix":
            return float(side["rotation"])
    return None
