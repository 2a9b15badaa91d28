"""Every clip of the benchmarks, made with the ffmpeg command-line tool into build/bench/, and
the ground truth every tool is checked against: frame and packet lists from ffprobe, pictures
decoded to RGB by the ffmpeg tool, and the audio resampled by it.

Pictures are compared in two ways: a 64x64 area-averaged fingerprint of every frame (cheap, and
enough to tell neighbouring frames apart, because the hue of the `hue` clips turns 7.2 degrees a
frame), and the full picture for a few frames per clip."""
import bisect
import functools
import json
import os
import pathlib
import subprocess

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
MEDIA = pathlib.Path(os.environ.get("AVARRAY_BENCH_MEDIA", ROOT / "build" / "bench"))
# The clips are made with the ffmpeg on PATH (Debian's, which has the encoders); the truth
# comes from the reference tools of the FFmpeg version the module links (make sets
# AVARRAY_REFERENCE_TOOLS), and is cached per version.
_TOOLS = os.environ.get("AVARRAY_REFERENCE_TOOLS")
FFMPEG = os.path.join(_TOOLS, "ffmpeg") if _TOOLS else "ffmpeg"
FFPROBE = os.path.join(_TOOLS, "ffprobe") if _TOOLS else "ffprobe"


@functools.lru_cache(maxsize=None)
def reference_version():
    """The reference tools' FFmpeg version, e.g. "9.0.2"."""
    out = subprocess.run([FFPROBE, "-version"], capture_output=True, text=True, check=True).stdout
    return out.split()[2]


def reference_dir():
    """Where the tools' pictures and samples are cached, one folder per FFmpeg version."""
    return MEDIA / "ref" / reference_version()


def testsrc(size, seconds, hue=False):
    graph = f"testsrc2=size={size}:rate=25:duration={seconds}" + (",hue=h=t*180" if hue else "")
    return ["-f", "lavfi", "-i", graph]


X264 = ["-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p"]
# Two independent pink-noise channels, low-passed: broadband, so that an offset between two
# decodes shows as a clear cross-correlation peak, and the encoder spends real bits.
NOISE = "anoisesrc=color=pink:amplitude=0.25:sample_rate=48000:duration=600:seed={}"

# name: (ffmpeg input arguments, output arguments, container[, copies]); with copies, one
# encoded piece is stream-copied that many times end to end. All video at 25 fps with B-frames:
# H.264, HEVC with x265's defaults (open groups of pictures, a key frame at most every 250
# frames and at scene cuts), VP9. A new clip is one more entry.
CLIPS = {
    "h264_1080p_10s": (testsrc("1920x1080", 10, hue=True), X264 + ["-crf", "23", "-bf", "3", "-g", "50"], "mp4"),
    "h264_1080p_12s": (testsrc("1920x1080", 12), X264, "mp4"),
    "h264_360p_60s_gop30": (testsrc("640x360", 60, hue=True), X264 + [
        "-crf", "23", "-bf", "3", "-g", "30", "-keyint_min", "30", "-sc_threshold", "0"], "mp4"),
    "h264_360p_60s_gop600": (testsrc("640x360", 60, hue=True), X264 + [
        "-crf", "23", "-bf", "3", "-g", "600", "-keyint_min", "600", "-sc_threshold", "0"], "mp4"),
    "hevc_360p_60s": (testsrc("640x360", 60, hue=True), [
        "-c:v", "libx265", "-x265-params", "log-level=error", "-pix_fmt", "yuv420p"], "mp4"),
    "h264_720p_60s_gop50": (testsrc("1280x720", 60), X264 + [
        "-g", "50", "-keyint_min", "50", "-sc_threshold", "0"], "mp4"),
    "h264_720p_10min": (testsrc("1280x720", 60), [
        "-c:v", "libx264", "-preset", "ultrafast", "-g", "250", "-pix_fmt", "yuv420p"], "mp4", 10),
    "vp9_720p_30s": (testsrc("1280x720", 30, hue=True), [
        "-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8", "-row-mt", "1",
        "-b:v", "2M", "-g", "120", "-pix_fmt", "yuv420p"], "webm"),
    # MPEG-2 with B-frames (open groups of pictures, a key frame every 12 frames) in MPEG-PS,
    # whose packets are mostly undated after a seek, and the same encode in MPEG-TS.
    **{f"mpeg2_360p_60s_{container}": (testsrc("640x360", 60, hue=True), [
        "-c:v", "mpeg2video", "-b:v", "2M", "-g", "12", "-bf", "2"], container)
       for container in ("mpg", "ts")},
    "aac_10min": (["-f", "lavfi", "-i", NOISE.format(1), "-f", "lavfi", "-i", NOISE.format(2)], [
        "-filter_complex", "[0:a][1:a]amerge=inputs=2,lowpass=f=6000", "-c:a", "aac",
        "-b:a", "128k"], "m4a"),
}


def ffmpeg(*args, tool="ffmpeg"):
    subprocess.run([tool, "-nostdin", "-v", "error", "-y", *args], check=True)


def clip_path(name):
    """The clip's file, encoded first if it is missing (a few minutes for all, once)."""
    inputs, outputs, container, *copies = CLIPS[name]
    out = MEDIA / f"{name}.{container}"
    if not out.exists():
        MEDIA.mkdir(parents=True, exist_ok=True)
        print(f"making {out.name}", flush=True)
        tmp = out.with_name("tmp-" + out.name)
        ffmpeg(*inputs, *outputs, str(tmp))
        if copies:
            piece, tmp = tmp, out.with_name("tmp-all-" + out.name)
            ffmpeg("-stream_loop", str(copies[0] - 1), "-i", str(piece), "-c", "copy", str(tmp))
            piece.unlink()
        tmp.rename(out)
    return out


@functools.lru_cache(maxsize=None)
def _probe_cached(name, what, *args):
    """ffprobe's JSON about the clip's first video stream, cached beside it."""
    cache = MEDIA / f"{name}.{what}.{reference_version()}.json"
    if not cache.exists():
        out = subprocess.run([FFPROBE, "-v", "error", "-select_streams", "v:0", "-of", "json",
                              *args, str(clip_path(name))], check=True, capture_output=True).stdout
        cache.write_bytes(out)
    return json.loads(cache.read_text())


@functools.lru_cache(maxsize=None)
def frames(name):
    """[(pts, seconds, duration seconds)] of every frame, in presentation order."""
    out = []
    for f in _probe_cached(name, "frames", "-show_frames", "-show_entries",
                           "frame=pts,best_effort_timestamp,best_effort_timestamp_time,"
                           "duration_time")["frames"]:
        duration = f.get("duration_time")
        out.append((int(f.get("pts", f.get("best_effort_timestamp"))),
                    float(f["best_effort_timestamp_time"]), float(duration)))
    return out


def packets(name):
    """[(pts, is key)] of every video packet, in file order."""
    return [(int(p["pts"]), p["flags"].startswith("K")) for p in
            _probe_cached(name, "packets", "-show_packets", "-show_entries", "packet=pts,flags")["packets"]]


def key_points(name):
    """Timestamps of the key-frame packets, ascending."""
    return sorted(pts for pts, key in packets(name) if key)


def size(name):
    """(height, width) of the clip's pictures."""
    stream = _probe_cached(name, "stream", "-show_streams")["streams"][0]
    return stream["height"], stream["width"]


def key_before(keys, pts):
    """The last key frame at or before `pts` in the ascending `keys` (the first one if none)."""
    return keys[max(bisect.bisect_right(keys, pts) - 1, 0)]


def targets(name, indices):
    """(pts, seek point) of each frame index: the key frame at or before it, from ffprobe."""
    keys = key_points(name)
    pts = [f[0] for f in frames(name)]
    return [(pts[i], key_before(keys, pts[i])) for i in indices]


def references(name):
    """Timestamps of the frames that other frames may refer to: those ffprobe still decodes with
    -skip_frame noref (every frame, for decoders that ignore the setting)."""
    listed = _probe_cached(name, "references", "-skip_frame", "noref", "-show_frames",
                           "-show_entries", "frame=pts,best_effort_timestamp")["frames"]
    return {int(f.get("pts", f.get("best_effort_timestamp"))) for f in listed}


def fewest(name, indices, lookahead):
    """(key-frame intervals, decoded frames) the least a decoder needs for the frames `indices`:
    each frame asked for, plus the frame after it with `lookahead` (what shows that a frame asked
    for by time is still showing), and every frame that other frames refer to from the key frame
    before it up to it in decoding (file) order; each frame once, as in one forward sweep over
    targets in order."""
    keys, refs = key_points(name), references(name)
    pts = [f[0] for f in frames(name)]
    stored = [p for p, _ in packets(name)]  # file order
    at = {p: i for i, p in enumerate(stored)}
    intervals, needed = set(), set()
    for i in indices:
        key = key_before(keys, pts[i])
        intervals.add(key)
        for wanted in pts[i:i + 1 + lookahead]:
            needed.add(wanted)
            needed.update(p for p in stored[at[key]:at[wanted]] if p in refs)
    return len(intervals), len(needed)


def fingerprint(picture):
    """The picture's means over a 64x64 grid of blocks (float32). Plain NumPy: a worker process
    loads no FFmpeg but its own tool's."""
    picture = np.asarray(picture)
    h, w = picture.shape[:2]
    rows = np.linspace(0, h, 65).astype(int)
    cols = np.linspace(0, w, 65).astype(int)
    sums = np.add.reduceat(np.add.reduceat(picture, rows[:-1], axis=0, dtype=np.float64),
                           cols[:-1], axis=1)
    return (sums / np.outer(np.diff(rows), np.diff(cols))[:, :, None]).astype(np.float32)


def build_references(name, full_indices):
    """Decodes the clip once with the ffmpeg tool to RGB: the fingerprint of every frame and the
    full picture of the frames in `full_indices`. Cached under MEDIA/ref/."""
    ref = reference_dir()
    ref.mkdir(parents=True, exist_ok=True)
    fp_path, full_path = ref / f"{name}.fp.npy", ref / f"{name}.full.npz"
    wanted = sorted(set(full_indices))
    if fp_path.exists() and full_path.exists():
        with np.load(full_path) as z:
            if sorted(int(i) for i in z["indices"]) == wanted:
                return
    height, width = size(name)
    picture_bytes = width * height * 3
    proc = subprocess.Popen([FFMPEG, "-nostdin", "-v", "error", "-i", str(clip_path(name)),
                             "-map", "0:v:0", "-fps_mode", "passthrough", "-pix_fmt", "rgb24",
                             "-f", "rawvideo", "-"], stdout=subprocess.PIPE)
    prints, full = [], {}
    while len(data := proc.stdout.read(picture_bytes)) == picture_bytes:
        picture = np.frombuffer(data, np.uint8).reshape(height, width, 3)
        if len(prints) in full_indices:
            full[len(prints)] = picture.copy()
        prints.append(fingerprint(picture))
    if proc.wait() != 0 or len(prints) != len(frames(name)):
        raise RuntimeError(f"ffmpeg decoded {len(prints)} frames of {name}, ffprobe lists "
                           f"{len(frames(name))}")
    np.save(fp_path, np.stack(prints))
    np.savez(full_path, indices=np.array(sorted(full), dtype=np.int64),
             pictures=np.stack([full[i] for i in sorted(full)]))


# Mean absolute difference (0-255 scale) within which two decodes count as the same frame: the
# same frame through different colour converters and scalers differs by well under 1, while
# neighbouring frames of the `hue` clips differ by about 10.
PICTURE_TOLERANCE = 3.0
FULL_TOLERANCE = 2.0
SCALE = {np.dtype(np.uint8): 1.0, np.dtype(np.uint16): 1 / 257, np.dtype(np.float32): 255.0}


def checkable(steps):
    """Whether every resize comes after the crops and turns: those can be applied to a reference
    picture and the resizes left out, since fingerprints compare pictures of any size."""
    first = next((i for i, step in enumerate(steps) if step[0] == "resize"), len(steps))
    return all(step[0] == "resize" for step in steps[first:])


def transformed(picture, steps):
    """The crops and quarter turns of `steps` applied to a reference picture."""
    for step, a, b, c, d in steps:
        if step == "crop":
            picture = picture[a:a + c, b:b + d]
        elif step == "rotate":
            picture = np.rot90(picture, a % 4)
    return picture


class Reference:
    """What one clip should give: used by the workers to check a tool's output."""

    def __init__(self, name):
        self.frames = frames(name)
        self.starts = np.array([f[1] for f in self.frames])
        self.fingerprints = np.load(reference_dir() / f"{name}.fp.npy", mmap_mode="r")
        with np.load(reference_dir() / f"{name}.full.npz") as z:
            self.full = dict(zip((int(i) for i in z["indices"]), z["pictures"]))

    def showing_at(self, seconds):
        """Index of the frame showing at `seconds`: the last one that starts at or before it."""
        return max(int(np.searchsorted(self.starts, seconds, side="right")) - 1, 0)

    def check_pictures(self, pictures, starts, indices, resized=False, steps=()):
        """Compares a tool's pictures (RGB of any sample type) and start seconds with the frames
        `indices` should give. With crops or turns among the `steps`, only the frames with a
        full reference picture are compared. Returns (ok, detail)."""
        indices = list(indices)
        if len(pictures) != len(indices) or len(starts) != len(indices):
            return False, f"{len(pictures)} frames for {len(indices)} requested"
        late = [abs(float(s) - self.starts[i]) > 0.5 * max(self.frames[i][2], 1e-3)
                for s, i in zip(starts, indices)]
        moved = any(step[0] != "resize" for step in steps)
        worst, wrong, full_worst, compared = 0.0, 0, 0.0, 0
        for picture, i in zip(pictures, indices):
            picture = np.asarray(picture)
            if picture.dtype not in SCALE or picture.ndim != 3 or picture.shape[2] != 3:
                return False, f"pictures of shape {picture.shape} and type {picture.dtype}"
            if (moved and i not in self.full) or not checkable(steps):
                continue
            compared += 1
            if picture.dtype != np.uint8:
                picture = picture.astype(np.float32) * SCALE[picture.dtype]
            expected = fingerprint(transformed(self.full[i], steps)) if moved else self.fingerprints[i]
            mad = float(np.abs(fingerprint(picture) - expected).mean())
            full = 0.0
            if not resized and not steps and i in self.full:
                full = float(np.abs(picture.astype(np.float32) - self.full[i]).mean())
            worst, full_worst = max(worst, mad), max(full_worst, full)
            wrong += mad > PICTURE_TOLERANCE or full > FULL_TOLERANCE
        detail = f"fingerprint error max {worst:.2f}" + (
            "" if resized or steps else f", full-picture {full_worst:.2f}")
        if compared < len(indices):
            detail += f" ({compared} of {len(indices)} pictures compared)"
        if sum(late) or wrong:
            return False, (f"{sum(late)}/{len(indices)} timestamps and {wrong}/{len(indices)} pictures "
                           f"differ from ffprobe/ffmpeg ({detail})")
        return True, detail


def reference_audio(name, rate):
    """The whole clip as mono float32 at `rate`, resampled by the ffmpeg tool."""
    path = reference_dir() / f"{name}.{rate}.f32"
    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        ffmpeg("-i", str(clip_path(name)), "-ac", "1", "-ar", str(rate), "-f", "f32le", str(path),
               tool=FFMPEG)
    return np.fromfile(path, np.float32)


def check_audio(name, samples, rate):
    """Compares mono float32 samples with the ffmpeg tool's resampling. A resampler's delay of up
    to 2 ms is a convention, not a fault: the offset is measured (cross-correlation peak, refined
    to a twentieth of a sample) and reported, and the waveform is compared after it. Also checked:
    the length, and the loudness of every 100 ms against the reference (a wrong channel mix or a
    gap shows there). Returns (ok, detail)."""
    ref = reference_audio(name, rate)
    samples = np.asarray(samples, dtype=np.float32).reshape(-1)
    window, span = rate * 4, rate // 4
    a = ref[rate * 10: rate * 10 + window]
    b = samples[rate * 10 - span: rate * 10 + window + span]
    if len(b) < window + 2 * span:
        return False, f"{len(samples)} samples for {len(ref)}"
    lag = int(np.argmax(np.correlate(b, a, mode="valid"))) - span
    shifted, reference = samples[max(lag, 0):], ref[max(-lag, 0):]
    n = min(len(shifted), len(reference))
    shifted, reference = shifted[:n], reference[:n]

    segment = slice(rate * 10, rate * 20)
    spectrum = np.fft.rfft(shifted[segment])
    phase = 2j * np.pi * np.fft.rfftfreq(rate * 10)
    power = np.mean(reference[segment] ** 2)
    error, fraction = min(
        (float(np.sqrt(np.mean((np.fft.irfft(spectrum * np.exp(phase * f), rate * 10)
                                - reference[segment]) ** 2) / power)), f)
        for f in np.linspace(-0.5, 0.5, 21))

    block = rate // 10
    m = n // block

    def loudness(x):
        return np.sqrt((x[:m * block].reshape(m, block) ** 2).mean(axis=1))
    level = loudness(reference)
    loud = level > 0.01 * level.max()
    envelope = float(np.abs(loudness(shifted)[loud] / level[loud] - 1).max())
    detail = (f"{len(samples)} samples for {len(ref)}, offset {lag + fraction:.2f} samples, "
              f"error {error:.3f} after it, loudness within {envelope:.1%}")
    ok = (abs(lag) <= rate // 500 and error < 0.1 and envelope < 0.05
          and abs(len(samples) - len(ref)) <= rate // 10)
    return ok, detail
