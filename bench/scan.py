"""scan() of a 10-minute 720p H.264 file against `ffprobe -show_packets` on the same file.

Run: make bench-scan (or .venv/bin/python bench/scan.py)."""
import subprocess

import _av
from common import alternate, h264_720p_10min, report


def main():
    path = h264_720p_10min()
    decoder = _av.Decoder(path, "video")
    count = len(decoder.scan())
    probe = ["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_packets",
             "-show_entries", "packet=pts,duration,flags", "-of", "compact", path]
    times = alternate({
        "ffprobe -show_packets": lambda: subprocess.run(probe, stdout=subprocess.DEVNULL, check=True),
        "Decoder.scan()": decoder.scan,
        "open + Decoder.scan()": lambda: _av.Decoder(path, "video").scan(),
    })
    print(f"scan of {path}: {count} packets")
    report(times, "ffprobe -show_packets")


if __name__ == "__main__":
    main()
