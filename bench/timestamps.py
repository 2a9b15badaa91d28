"""decode_timestamps on 60 s of 720p H.264 (B-frames, a key frame every 2 s).

(a) Uniform sampling, 16 and then 48 seconds spread evenly over the clip, and the last
    frame before each key frame: the seeks and decoded frames it takes, counted from
    outside the module in two ways:
    - bench/counting.c, preloaded, stands in front of av_seek_frame, avcodec_send_packet
      and avcodec_receive_frame and counts the extension's calls exactly;
    - the clip is opened as a file-like object that records every read: a read that
      does not start where the previous one ended is a jump of the file position, which
      is what a seek outside the I/O buffer becomes.
    Both are compared with what ffprobe's frame and key-frame lists allow: one seek per
    key-frame interval that holds a requested second, and as decoded frames, for each
    second, the frames from the key frame before it up to the frame showing, plus the
    one after it (the lookahead that shows the answer is still showing).
(b) Dense sampling: the start second of every frame of the first 6 s in one request,
    against decode_video of the same frames (exact, each with the key frame before it as
    seek point); alternating rounds, medians.

Run: make bench-timestamps (builds the counting library, then runs this).
"""
import bisect
import ctypes
import json
import os
import statistics
import subprocess
import sys

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import _av  # noqa: E402
from common import MEDIA, ROOT, alternate, ffmpeg  # noqa: E402

COUNTING = ROOT / "build" / "bench" / "counting.so"
DENSE_SECONDS = 6.0


def clip():
    out = MEDIA / "h264_720p_60s_gop2.mp4"
    if not out.exists():
        MEDIA.mkdir(parents=True, exist_ok=True)
        ffmpeg("-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=25:duration=60",
               "-c:v", "libx264", "-preset", "veryfast", "-g", "50", "-keyint_min", "50",
               "-sc_threshold", "0", "-pix_fmt", "yuv420p", str(out))
    return str(out)


def probe(path, *args):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-of", "json",
                          *args, path], capture_output=True, check=True, text=True).stdout
    return json.loads(out)


class Stream:
    """ffprobe's view: frame timestamps in presentation order, key frames, packets."""

    def __init__(self, path):
        self.path = path
        stream = probe(path, "-show_streams")["streams"][0]
        self.num, self.den = (int(x) for x in stream["time_base"].split("/"))
        self.pts = [int(f["pts"]) for f in
                    probe(path, "-show_frames", "-show_entries", "frame=pts")["frames"]]
        packets = probe(path, "-show_packets", "-show_entries", "packet=pts,pos,size,flags")
        self.packets = {int(p["pts"]): (int(p["pos"]), int(p["size"]))
                        for p in packets["packets"]}
        self.keys = sorted(int(p["pts"]) for p in packets["packets"]
                           if p["flags"].startswith("K"))
        self.starts = [self.num * p / self.den for p in self.pts]

    def showing(self, t):
        return bisect.bisect_right(self.starts, t) - 1

    def key_before(self, pts):
        return self.keys[bisect.bisect_right(self.keys, pts) - 1]

    def least_work(self, seconds):
        """(key-frame intervals holding a second, frames a decoder must decode)."""
        intervals, frames = set(), set()
        for t in seconds:
            i = self.showing(t)
            key = self.key_before(self.pts[i])
            intervals.add(key)
            last = self.pts[min(i + 1, len(self.pts) - 1)]  # the lookahead frame
            frames.update(p for p in self.pts if key <= p <= last)
        return len(intervals), len(frames)


class RecordingFile:
    """A file-like source that records where each read starts and how much it returns."""

    def __init__(self, path):
        self.file = open(path, "rb", buffering=0)
        self.reads = []

    def read(self, size=-1):
        offset = self.file.tell()
        data = self.file.read(size)
        self.reads.append((offset, len(data)))
        return data

    def seek(self, offset, whence=0):
        return self.file.seek(offset, whence)

    def jumps(self, since):
        """Reads after index `since` that do not continue the read before them."""
        return sum(1 for (a, n), (b, _) in zip(self.reads[since - 1:], self.reads[since:])
                   if b != a + n)


def take_counts():
    out, targets = (ctypes.c_int64 * 5)(), (ctypes.c_int64 * 4096)()
    ctypes.CDLL(None).counting_take(out, targets, 4096)
    seeks, sent, received, max_pts, _ = out
    return seeks, sent, received, max_pts, list(targets[:min(seeks, 4096)])


def counts():
    """Part (a); runs with bench/counting.so preloaded."""
    path = clip()
    s = Stream(path)
    print(f"(a) {path}: {len(s.pts)} frames, time base {s.num}/{s.den}, "
          f"{len(s.keys)} key frames (every {s.starts[s.pts.index(s.keys[1])]:.2f} s)")
    before_keys = [s.starts[s.pts.index(k) - 1] for k in s.keys[1:]]
    samplings = [(f"{n} seconds every {60.0 / n:.2f} s", [i * 60.0 / n for i in range(n)])
                 for n in (16, 48)]
    # Each the last frame shown before a key frame, which MP4 indexes at its decoding
    # time, before these frames.
    samplings.append((f"{len(before_keys)} seconds, the frame before each key frame",
                      before_keys))
    for label, seconds in samplings:
        source = RecordingFile(path)
        d = _av.Decoder(source, "video", threads=1)
        take_counts()  # the open's own decoding is not the request's
        since = len(source.reads)
        _, starts, _ = d.decode_timestamps(seconds, "uint8")
        seeks, sent, received, max_pts, targets = take_counts()
        assert starts == [s.starts[s.showing(t)] for t in seconds]
        intervals, least = s.least_work(seconds)
        last = s.showing(seconds[-1])
        beyond = sum(1 for p in s.pts if p > s.pts[last] and p <= max_pts)
        # Bytes read past the end of the last packet the decoder needed (the lookahead).
        needed_end = sum(s.packets[s.pts[last + 1]])
        read_end = max(a + n for a, n in source.reads[since:])
        print(f"  {label}, in {intervals} key-frame intervals:")
        print(f"    av_seek_frame calls {seeks} (targets {targets[:4]} ...), file position "
              f"jumps {source.jumps(since)}")
        print(f"    frames decoded {received} (least possible {least}), packets sent {sent}; "
              f"frames decoded after the last answer: {beyond}; read "
              f"{(read_end - needed_end) / 1024:.0f} KiB past the lookahead frame's packet")


def dense():
    """Part (b): every frame start of the first seconds, against decode_video."""
    path = clip()
    s = Stream(path)
    count = bisect.bisect_left(s.starts, DENSE_SECONDS)
    seconds = s.starts[:count]
    targets = [(p, s.key_before(p)) for p in s.pts[:count]]
    by_time = _av.Decoder(path, "video", threads=1)
    by_pts = _av.Decoder(path, "video", threads=1)
    a = by_time.decode_timestamps(seconds, "uint8")
    b = by_pts.decode_video(targets, "uint8", True)
    assert a[1] == b[1] and (a[0] == b[0]).all()
    del a, b
    times = alternate({
        "decode_timestamps": lambda: by_time.decode_timestamps(seconds, "uint8"),
        "decode_video": lambda: by_pts.decode_video(targets, "uint8", True),
    }, rounds=5)
    print(f"(b) dense: {count} frames (the first {DENSE_SECONDS:.0f} s), "
          f"{count * 1280 * 720 * 3 / 2**20:.0f} MiB per array, 5 alternating rounds")
    for name, values in times.items():
        print(f"  {name:18} median {statistics.median(values) * 1000:7.1f} ms  "
              f"({', '.join(f'{v * 1000:.0f}' for v in values)})")
    ratio = statistics.median(times["decode_timestamps"]) / statistics.median(times["decode_video"])
    print(f"  ratio decode_timestamps / decode_video: {ratio:.3f}")


if __name__ == "__main__":
    if sys.argv[1:] == ["--counts"]:
        counts()
    else:
        clip()
        env = dict(os.environ, LD_PRELOAD=str(COUNTING))
        subprocess.run([sys.executable, __file__, "--counts"], env=env, check=True)
        dense()
