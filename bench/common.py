"""Shared helpers for the benchmarks: generated media and alternating timed rounds."""
import os
import pathlib
import statistics
import subprocess
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
MEDIA = pathlib.Path(os.environ.get("AVARRAY_BENCH_MEDIA", ROOT / "build" / "bench"))


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", *args], check=True)


def h264_720p_10min():
    """10 minutes of 720p H.264: one minute encoded, then stream-copied ten times."""
    out = MEDIA / "h264_720p_10min.mp4"
    if not out.exists():
        MEDIA.mkdir(parents=True, exist_ok=True)
        one = MEDIA / "h264_720p_1min.mp4"
        ffmpeg("-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=25:duration=60",
               "-c:v", "libx264", "-preset", "ultrafast", "-g", "250", "-pix_fmt", "yuv420p", str(one))
        ffmpeg("-stream_loop", "9", "-i", str(one), "-c", "copy", str(out))
    return str(out)


def h264_1080p(seconds):
    """`seconds` of 1080p H.264 at 25 frames per second, with B-frames."""
    out = MEDIA / f"h264_1080p_{seconds}s.mp4"
    if not out.exists():
        MEDIA.mkdir(parents=True, exist_ok=True)
        ffmpeg("-f", "lavfi", "-i", f"testsrc2=size=1920x1080:rate=25:duration={seconds}",
               "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", str(out))
    return str(out)


def h264_1080p_10s():
    """10 seconds of 1080p H.264 at 25 frames per second, with B-frames."""
    return h264_1080p(10)


def alternate(tasks, rounds=5, warmup=1):
    """Runs each task in turn, `rounds` times after `warmup` rounds; returns
    {name: [seconds, ...]}."""
    times = {name: [] for name in tasks}
    for r in range(warmup + rounds):
        for name, task in tasks.items():
            start = time.perf_counter()
            task()
            elapsed = time.perf_counter() - start
            if r >= warmup:
                times[name].append(elapsed)
    return times


def report(times, reference):
    ref = statistics.median(times[reference])
    for name, values in times.items():
        med = statistics.median(values)
        print(f"  {name:32} median {med * 1000:9.1f} ms  (min {min(values) * 1000:.1f}, "
              f"max {max(values) * 1000:.1f})  ratio to {reference}: {med / ref:.3f}")
