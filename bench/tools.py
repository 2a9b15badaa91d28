"""One adapter per tool for the benchmark: ours and the baselines here, the peers in
bench/peers.py. Every adapter does the same work and returns the same thing: HWC RGB pictures
(one NHWC array or a list of HWC arrays, whichever the tool gives most cheaply, its own
conversion included; uint8 unless a job asks ours for another type) with the start second of
each, or for audio one mono float32 row with the start second.

Each method opens the file itself (opening is part of the work, unless a job keeps ours open),
uses the tool's own accurate API for the request, and takes `threads`: 1 for one decoding
thread, 0 for the tool's automatic threading. Settings that are global to the process are
applied by `configure()`, which the worker calls before each run. A tool without a method for
a job's kind is not available for it. The baselines (the C++ limit, the ffmpeg and ffprobe
command-line tools) time themselves or are the reference; NumPy writes a picture."""
import bisect
import ctypes
import math
import os
import pathlib
import re
import subprocess

import numpy as np

from media import FFMPEG, FFPROBE

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The bare FFmpeg decode + sws_scale loop in C++ (bench/limit.cpp, built by make): `limit FILE`
# decodes every frame on one thread and prints "frames seconds user-seconds system-seconds".
LIMIT = pathlib.Path(os.environ.get("AVARRAY_LIMIT", ROOT / "build" / "bench" / "limit"))
# bench/counting.c, preloaded into the worker of jobs that count calls.
COUNTING_LIBRARY = pathlib.Path(os.environ.get("AVARRAY_COUNTING", ROOT / "build" / "bench" / "counting.so"))


class Unavailable(Exception):
    """The tool has no way to do this work."""


class SelfTimed:
    """A run that measured itself (a program whose start-up is not the work): wall, user and
    system seconds, and the number of frames it decoded."""

    def __init__(self, wall, user, system, frames):
        self.wall, self.user, self.system, self.frames = wall, user, system, frames


class Figures(dict):
    """Measurements that are the result of a run (peak memory): reported, not checked."""


class Unchecked(str):
    """Output that has nothing to compare with (the reference tool itself, NumPy): why."""


def loaded_ffmpeg_version():
    """The version text of the libavutil mapped into this process (the worker loads one tool)."""
    maps = pathlib.Path("/proc/self/maps").read_text()
    paths = sorted(set(re.findall(r"(/\S*libavutil[^/\s]*\.so[.\d]*)", maps)))
    if not paths:
        return None
    versions = []
    for path in paths:
        lib = ctypes.CDLL(path)
        lib.av_version_info.restype = ctypes.c_char_p
        versions.append(lib.av_version_info().decode())
    return ", ".join(versions)


class Counting:
    """The counters of bench/counting.c when it is preloaded into this process, else nothing."""

    def __init__(self):
        self.lib = ctypes.CDLL(None)
        self.active = hasattr(self.lib, "counting_reset")
        if self.active:
            self.lib.counting_names.restype = ctypes.c_char_p
            self.names = self.lib.counting_names().decode().split()

    def reset(self):
        if self.active:
            self.lib.counting_reset()

    def read(self, seek_targets=8):
        if not self.active:
            return None
        out, targets = (ctypes.c_int64 * len(self.names))(), (ctypes.c_int64 * seek_targets)()
        self.lib.counting_read(out, targets, seek_targets)
        counts = dict(zip(self.names, out))
        counts["seek_targets"] = list(targets[:min(counts["seeks"], seek_targets)])
        return counts


COUNTING = Counting()


class RecordingFile:
    """A file-like source that counts jumps of the file position: reads that do not start where
    the previous one ended, which is what a seek outside FFmpeg's I/O buffer becomes."""

    def __init__(self, path):
        self.file = open(path, "rb", buffering=0)
        self.end, self.jumps = 0, 0

    def read(self, size=-1):
        offset = self.file.tell()
        data = self.file.read(size)
        self.jumps += offset != self.end
        self.end = offset + len(data)
        return data

    def seek(self, offset, whence=0):
        return self.file.seek(offset, whence)


def memory_bytes(field):
    """VmRSS (resident now) or VmHWM (the peak since the last reset) of this process."""
    status = pathlib.Path("/proc/self/status").read_text()
    return int(re.search(rf"^{field}:\s+(\d+) kB", status, re.M).group(1)) * 1024


class Ours:
    name = "avarray"

    def __init__(self, threads):
        import _av
        self.av, self.threads = _av, threads
        self.kept = {}  # decoders that a job keeps open from run to run, by the job's key
        self.recording = None  # the recording source of the last run, if it had one

    def version(self):
        return self.av.__version__, self.av.ffmpeg_version

    def _open(self, path, media="video", keep=None, source=None):
        if keep in self.kept:
            return self.kept[keep]
        if source == "recording":
            source = self.recording = RecordingFile(path)
        d = self.av.Decoder(source or str(path), media, threads=self.threads)
        if self.recording:
            self.recording.jumps = 0
        COUNTING.reset()  # what the open decodes is not the request's work
        if keep is not None:
            self.kept[keep] = d
        return d

    def figures(self):
        """Figures of the last run beside its output."""
        recording, self.recording = self.recording, None
        if not recording:
            return {}
        recording.file.close()
        return {"file position jumps": recording.jumps}

    @staticmethod
    def _call(decoder, name, *args):
        """The decoder's method `name`, or Unavailable while this build has none."""
        method = getattr(decoder, name, None)
        if method is None:
            raise Unavailable(f"Decoder has no {name}()")
        return method(*args)

    @staticmethod
    def _targets(decoder, indices):
        """(pts, seek point) of each frame index: the pts from scan(), the seek point the key frame
        at or before it."""
        packets = decoder.scan()
        pts = [p[0] for p in packets]
        keys = [p[0] for p in packets if p[2]]
        return [(pts[i], keys[max(bisect.bisect_right(keys, pts[i]) - 1, 0)]) for i in indices]

    def first_frame(self, path):
        d = self._open(path)
        meta = d.metadata()
        start = meta["begin_stream_seconds_from_header"] or 0.0
        pts = math.floor(start * meta["time_base_den"] / meta["time_base_num"])
        frames, starts, _ = self._call(d, "decode_video", [(pts, pts)], "uint8", False)
        return frames, starts

    def first_n(self, path, n=None):
        d = self._open(path)
        packets = d.scan()
        pts = [p[0] for p in packets][:n]
        # One seek point for all: a single forward sweep from the first key frame.
        frames, starts, _ = self._call(d, "decode_video", [(p, pts[0]) for p in pts], "uint8", True)
        return frames, starts

    def frames_at(self, path, indices, size=None, targets=None, dtype="uint8", steps=(), keep=None,
                  source=None, own_seek_points=False):
        """With `targets` (from ffprobe) the request needs no scan(). With `own_seek_points`, each
        frame is its own seek point, as a caller who knows no key frames would give it."""
        d = self._open(path, keep=keep, source=source)
        steps = [tuple(s) for s in steps] + ([("resize", 0, 0, size[0], size[1])] if size else [])
        targets = [tuple(t) for t in targets] if targets else self._targets(d, indices)
        if own_seek_points:
            targets = [(pts, pts) for pts, _ in targets]
        frames, starts, _ = self._call(d, "decode_video", targets, dtype, True, steps)
        return frames, starts

    def played_at(self, path, seconds, keep=None, source=None):
        d = self._open(path, keep=keep, source=source)
        frames, starts, _ = self._call(d, "decode_timestamps", seconds, "uint8")
        return frames, starts

    def audio(self, path, rate):
        samples, start = self._call(self._open(path, "audio"), "decode_audio", rate, 1)
        return samples[0], start

    def scan(self, path, keep=None):
        return self._open(path, keep=keep).scan()

    def peak_memory(self, path, rate=None, channels=None):
        """Run in a fresh process: the growth of the peak resident set during one request on an
        open decoder, every frame of a video (after a request of one frame: NumPy loaded, the
        converter made) or all of an audio stream."""
        if rate:
            d = self._open(path, "audio")
            request = lambda: d.decode_audio(rate, channels)[0]  # noqa: E731
        else:
            d = self._open(path)
            targets = self._targets(d, range(len(d.scan())))
            d.decode_video(targets[:1], "uint8", True)
            request = lambda: d.decode_video(targets, "uint8", True)[0]  # noqa: E731
        # The peak is reset first: getrusage's would hold the parent's, which a child inherits.
        pathlib.Path("/proc/self/clear_refs").write_text("5")
        before = memory_bytes("VmRSS")
        out = request()
        return Figures(array=out.nbytes, growth=memory_bytes("VmHWM") - before)


class Limit:
    """The C++ decode + sws_scale loop: every frame on one thread, into one picture (or, with
    --into-batch, into a fresh array of all frames). It times itself."""
    name = "limit"
    options = []

    def __init__(self, threads):
        if threads != 1:
            raise Unavailable("the limit decodes on one thread")

    def version(self):
        return "-", None

    def first_n(self, path, n=None):
        if n is not None or not os.access(LIMIT, os.X_OK):
            raise Unavailable("the limit decodes every frame" if n else f"{LIMIT} is not built")
        out = subprocess.run([str(LIMIT), *self.options, str(path)], capture_output=True,
                             text=True, check=True).stdout.split()
        return SelfTimed(*(float(x) for x in out[1:4]), frames=int(out[0]))


class LimitIntoBatch(Limit):
    name = "limit --into-batch"
    options = ["--into-batch"]


class CommandLine:
    """The reference ffmpeg and ffprobe tools, writing to /dev/null."""
    name = "ffmpeg"

    def __init__(self, threads):
        pass

    def version(self):
        out = subprocess.run([FFMPEG, "-version"], capture_output=True, text=True).stdout
        return "-", out.split()[2]

    @staticmethod
    def _run(*args):
        subprocess.run(args, stdout=subprocess.DEVNULL, check=True)
        return Unchecked("the reference itself")

    def audio(self, path, rate):
        return self._run(FFMPEG, "-nostdin", "-v", "error", "-i", str(path), "-ac", "1",
                         "-ar", str(rate), "-f", "f32le", "-")

    def scan(self, path):
        return self._run(FFPROBE, "-v", "error", "-select_streams", "v:0", "-show_packets",
                         "-show_entries", "packet=pts,duration,flags", "-of", "compact", str(path))


class NumPy:
    """NumPy writing a decoded picture's worth of RGB once: a copy, or a copy of np.rot90's view."""
    name = "NumPy"

    def __init__(self, threads):
        self.src = np.random.default_rng(0).integers(0, 255, (1080, 1920, 3), dtype=np.uint8)
        self.out = {t: np.empty_like(np.rot90(self.src, t)) for t in (0, 1, 2)}

    def version(self):
        return np.__version__, None

    def picture_pass(self, path, turns):
        np.copyto(self.out[turns], np.rot90(self.src, turns))
        return Unchecked("no decoding")


BASELINES = {"limit": Limit, "limit --into-batch": LimitIntoBatch, "ffmpeg": CommandLine,
             "ffprobe": CommandLine, "NumPy": NumPy}
