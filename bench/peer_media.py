"""The clips of the peer benchmark, made with the ffmpeg command-line tool, and the ground truth
every tool is checked against: frame timestamps from `ffprobe -show_frames`, pictures decoded
to RGB by the ffmpeg command-line tool, and the audio resampled by it.

Pictures are compared in two ways: a 64x64 area-averaged fingerprint of every frame (cheap, and
enough to tell neighbouring frames apart, because the clips' hue turns 7.2 degrees a frame), and
the full picture for a few frames per clip."""
import json
import subprocess

import numpy as np

from common import MEDIA, ffmpeg

FINGERPRINT = 64

# name: (source, seconds, encoder arguments, container); all at 25 fps, H.264 with B-frames.
_HUE = "hue=h=t*180"
VIDEO_CLIPS = {
    "h264_1080p_10s": ("testsrc2=size=1920x1080:rate=25", 10,
                       ["-c:v", "libx264", "-preset", "veryfast", "-crf", "23", "-bf", "3",
                        "-g", "50"], "mp4"),
    "h264_360p_60s_gop30": ("testsrc2=size=640x360:rate=25", 60,
                            ["-c:v", "libx264", "-preset", "veryfast", "-crf", "23", "-bf", "3",
                             "-g", "30", "-keyint_min", "30", "-sc_threshold", "0"], "mp4"),
    "h264_360p_60s_gop600": ("testsrc2=size=640x360:rate=25", 60,
                             ["-c:v", "libx264", "-preset", "veryfast", "-crf", "23", "-bf", "3",
                              "-g", "600", "-keyint_min", "600", "-sc_threshold", "0"], "mp4"),
    "vp9_720p_30s": ("testsrc2=size=1280x720:rate=25", 30,
                     ["-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8", "-row-mt", "1",
                      "-b:v", "2M", "-g", "120"], "webm"),
}
AUDIO_CLIP = "aac_10min"


def clip_path(name):
    if name == AUDIO_CLIP:
        return MEDIA / "aac_10min_48k_stereo.m4a"
    return MEDIA / f"{name}.{VIDEO_CLIPS[name][3]}"


def make_clips():
    """Encodes whatever clip is missing (about two minutes on two cores, once)."""
    MEDIA.mkdir(parents=True, exist_ok=True)
    for name, (source, seconds, codec, _) in VIDEO_CLIPS.items():
        out = clip_path(name)
        if not out.exists():
            print(f"making {out.name}", flush=True)
            tmp = out.with_name("tmp-" + out.name)
            ffmpeg("-f", "lavfi", "-i", f"{source}:duration={seconds},{_HUE}",
                   *codec, "-pix_fmt", "yuv420p", str(tmp))
            tmp.rename(out)
    out = clip_path(AUDIO_CLIP)
    if not out.exists():
        print(f"making {out.name}", flush=True)
        tmp = out.with_name("tmp-" + out.name)
        # Two independent noise channels, low-passed: broadband, so that an offset between two
        # decodes shows as a clear cross-correlation peak.
        noise = "anoisesrc=color=pink:amplitude=0.25:sample_rate=48000:duration=600:seed={}"
        ffmpeg("-f", "lavfi", "-i", noise.format(1), "-f", "lavfi", "-i", noise.format(2),
               "-filter_complex", "[0:a][1:a]amerge=inputs=2,lowpass=f=6000",
               "-c:a", "aac", "-b:a", "128k", str(tmp))
        tmp.rename(out)


def probe_frames(name):
    """[(pts, seconds, duration seconds)] of every frame, in presentation order, cached as JSON."""
    cache = MEDIA / f"{name}.frames.json"
    if not cache.exists():
        out = subprocess.run(
            ["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_frames", "-show_entries",
             "frame=pts,best_effort_timestamp,best_effort_timestamp_time,duration_time,pkt_duration_time",
             "-of", "json", str(clip_path(name))], check=True, capture_output=True).stdout
        frames = []
        for f in json.loads(out)["frames"]:
            pts = f.get("pts", f.get("best_effort_timestamp"))
            # ffprobe 5 names the duration pkt_duration_time, later ones duration_time.
            duration = f.get("duration_time", f.get("pkt_duration_time"))
            frames.append((int(pts), float(f["best_effort_timestamp_time"]), float(duration)))
        cache.write_text(json.dumps(frames))
    return [tuple(f) for f in json.loads(cache.read_text())]


def fingerprint(picture):
    """The picture's means over a 64x64 grid of blocks (float32). Plain NumPy: a worker process
    loads no FFmpeg but its own tool's."""
    picture = np.asarray(picture)
    h, w = picture.shape[:2]
    rows = np.linspace(0, h, FINGERPRINT + 1).astype(int)
    cols = np.linspace(0, w, FINGERPRINT + 1).astype(int)
    sums = np.add.reduceat(np.add.reduceat(picture, rows[:-1], axis=0, dtype=np.uint32),
                           cols[:-1], axis=1)
    return sums / np.outer(np.diff(rows), np.diff(cols))[:, :, None].astype(np.float32)


def build_references(name, full_indices):
    """Decodes the clip once with the ffmpeg tool to RGB: the fingerprint of every frame and the
    full picture of the frames in `full_indices`. Cached under MEDIA/ref/."""
    ref = MEDIA / "ref"
    ref.mkdir(exist_ok=True)
    fp_path, full_path = ref / f"{name}.fp.npy", ref / f"{name}.full.npz"
    wanted = sorted(set(full_indices))
    if fp_path.exists() and full_path.exists():
        with np.load(full_path) as z:
            if sorted(int(i) for i in z["indices"]) == wanted:
                return
    width, height = (int(x) for x in subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "stream=width,height",
         "-of", "csv=p=0", str(clip_path(name))], check=True, capture_output=True, text=True
    ).stdout.strip().split(","))
    size = width * height * 3
    proc = subprocess.Popen(["ffmpeg", "-nostdin", "-v", "error", "-i", str(clip_path(name)),
                             "-map", "0:v:0", "-fps_mode", "passthrough", "-pix_fmt", "rgb24",
                             "-f", "rawvideo", "-"], stdout=subprocess.PIPE)
    prints, full = [], {}
    while True:
        data = proc.stdout.read(size)
        if len(data) < size:
            break
        picture = np.frombuffer(data, np.uint8).reshape(height, width, 3)
        if len(prints) in full_indices:
            full[len(prints)] = picture.copy()
        prints.append(fingerprint(picture))
    if proc.wait() != 0 or len(prints) != len(probe_frames(name)):
        raise RuntimeError(f"ffmpeg decoded {len(prints)} frames of {name}, ffprobe lists "
                           f"{len(probe_frames(name))}")
    np.save(fp_path, np.stack(prints))
    np.savez(full_path, indices=np.array(sorted(full), dtype=np.int64),
             pictures=np.stack([full[i] for i in sorted(full)]))


def reference_audio(rate=16000):
    """The whole AAC clip as mono float32 at `rate`, resampled by the ffmpeg tool."""
    path = MEDIA / "ref" / f"{AUDIO_CLIP}.{rate}.f32"
    if not path.exists():
        path.parent.mkdir(exist_ok=True)
        ffmpeg("-i", str(clip_path(AUDIO_CLIP)), "-ac", "1", "-ar", str(rate), "-f", "f32le", str(path))
    return np.fromfile(path, np.float32)


class Reference:
    """What one clip should give: used by the workers to check a tool's output."""

    def __init__(self, name):
        self.name = name
        self.frames = probe_frames(name)
        self.starts = np.array([f[1] for f in self.frames])
        self.fingerprints = np.load(MEDIA / "ref" / f"{name}.fp.npy", mmap_mode="r")
        with np.load(MEDIA / "ref" / f"{name}.full.npz") as z:
            self.full = dict(zip((int(i) for i in z["indices"]), z["pictures"]))

    def showing_at(self, seconds):
        """Index of the frame showing at `seconds`: the last one that starts at or before it."""
        return max(int(np.searchsorted(self.starts, seconds, side="right")) - 1, 0)

    def check_pictures(self, frames, starts, indices, resized=False):
        """Compares a tool's pictures and start seconds with the frames `indices` should give.
        Returns (ok, detail)."""
        indices = list(indices)
        if len(frames) != len(indices) or len(starts) != len(indices):
            return False, f"{len(frames)} frames for {len(indices)} requested"
        late = [abs(float(s) - self.starts[i]) > 0.5 * max(self.frames[i][2], 1e-3)
                for s, i in zip(starts, indices)]
        worst, wrong, full_worst = 0.0, 0, 0.0
        for picture, i in zip(frames, indices):
            picture = np.asarray(picture)
            if picture.dtype != np.uint8 or picture.ndim != 3 or picture.shape[2] != 3:
                return False, f"pictures of shape {picture.shape} and type {picture.dtype}"
            mad = float(np.abs(fingerprint(picture) - self.fingerprints[i]).mean())
            full = 0.0
            if not resized and i in self.full:
                full = float(np.abs(picture.astype(np.int16) - self.full[i]).mean())
            worst, full_worst = max(worst, mad), max(full_worst, full)
            wrong += mad > PICTURE_TOLERANCE or full > FULL_TOLERANCE
        detail = f"fingerprint error max {worst:.2f}" + ("" if resized else f", full-picture {full_worst:.2f}")
        if sum(late) or wrong:
            return False, (f"{sum(late)}/{len(indices)} timestamps and {wrong}/{len(indices)} pictures "
                           f"differ from ffprobe/ffmpeg ({detail})")
        return True, detail


# Mean absolute difference (0-255 scale) within which two decodes count as the same frame: the
# same frame through different colour converters and scalers differs by well under 1, while
# neighbouring frames of these clips differ by about 10.
PICTURE_TOLERANCE = 3.0
FULL_TOLERANCE = 2.0


def check_audio(samples, start, rate=16000):
    """Compares mono float32 samples with the ffmpeg tool's resampling. A resampler's delay of up
    to 2 ms is a convention, not a fault: the offset is measured (cross-correlation peak, refined
    to a twentieth of a sample) and reported, and the waveform is compared after it. Also checked:
    the length, and the loudness of every 100 ms against the reference (a wrong channel mix or a
    gap shows there). Returns (ok, detail)."""
    ref = reference_audio(rate)
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
