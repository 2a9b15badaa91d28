"""decode_audio against the ffmpeg command-line tool on the same file, in the same run.

Makes (once, into build/bench/) ten minutes of 48 kHz stereo AAC in MP4, then times
alternating rounds of

    ffmpeg -i F -ac 1 -ar 16000 -f f32le -      (output to /dev/null)
    _av.Decoder(F, "audio").decode_audio(16000, 1)

and reports the medians and their ratio. Peak memory is measured in a fresh process per
request: the growth of the peak resident set during the call, as a multiple of the
returned array's size.

Usage: bench/audio.py [--rounds N] [--minutes M]
"""
import argparse
import os
import pathlib
import resource
import statistics
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
OUT = ROOT / "build" / "bench"


def make_clip(minutes):
    path = OUT / f"aac_{minutes}min_48k_stereo.m4a"
    if path.exists():
        return path
    OUT.mkdir(parents=True, exist_ok=True)
    seconds = int(minutes * 60)
    # Music-like content: two moving tones per channel over quiet pink noise, so that the
    # encoder spends real bits (silence or a pure tone would make decoding trivially cheap).
    tones = ("aevalsrc=0.3*sin(2*PI*(220+40*sin(0.3*t))*t)+0.2*sin(2*PI*660*t*(1+0.01*sin(t)))"
             "|0.3*sin(2*PI*(330+50*sin(0.2*t))*t)+0.2*sin(2*PI*990*t):"
             f"channel_layout=stereo:sample_rate=48000:duration={seconds}")
    noise = f"anoisesrc=color=pink:amplitude=0.05:sample_rate=48000:duration={seconds}"
    tmp = path.with_suffix(".tmp.m4a")
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", tones,
                    "-f", "lavfi", "-i", noise, "-filter_complex",
                    "[1]aformat=channel_layouts=stereo[n];[0][n]amix=inputs=2:normalize=0",
                    "-c:a", "aac", "-b:a", "128k", str(tmp)], check=True)
    tmp.rename(path)
    return path


def time_cli(path, rate, channels):
    start = time.perf_counter()
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", str(path), "-ac", str(channels),
                    "-ar", str(rate), "-f", "f32le", "-"], stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


def time_ours(path, rate, channels):
    import _av

    start = time.perf_counter()
    samples, _ = _av.Decoder(str(path), "audio").decode_audio(rate, channels)
    elapsed = time.perf_counter() - start
    del samples
    return elapsed


MEMORY_PROBE = """
import os, resource, sys, _av
import numpy
def rss_kib():
    with open(f"/proc/{os.getpid()}/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024
d = _av.Decoder(sys.argv[1], "audio")
before = rss_kib()
samples, _ = d.decode_audio(int(sys.argv[2]), int(sys.argv[3]))
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(max(peak - before, 0) * 1024, samples.nbytes)
"""


def memory(path, rate, channels):
    # The baseline (interpreter, NumPy, the open decoder) is the process's peak so far,
    # since nothing before the call allocates more than it holds at that point.
    out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(path), str(rate), str(channels)],
                         capture_output=True, text=True, check=True).stdout.split()
    grown, size = int(out[0]), int(out[1])
    return grown / size, size


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--minutes", type=float, default=10)
    args = parser.parse_args()

    path = make_clip(args.minutes)
    cli_version = subprocess.run(["ffmpeg", "-version"], capture_output=True,
                                 text=True).stdout.split("\n")[0]
    import _av

    print(f"clip: {path.relative_to(ROOT)} ({path.stat().st_size / 1e6:.1f} MB)")
    print(f"ours: FFmpeg {_av.ffmpeg_version}; CLI: {cli_version}")
    print(f"machine: {os.cpu_count()} cores, load {os.getloadavg()[0]:.2f}")

    rate, channels = 16000, 1
    time_ours(path, rate, channels)  # warm the page cache and the libraries
    cli, ours = [], []
    for i in range(args.rounds):
        cli.append(time_cli(path, rate, channels))
        ours.append(time_ours(path, rate, channels))
        print(f"  round {i + 1}: ffmpeg {cli[-1]:.3f} s, decode_audio {ours[-1]:.3f} s")
    c, o = statistics.median(cli), statistics.median(ours)
    print(f"median: ffmpeg {c:.3f} s, decode_audio {o:.3f} s, ratio {o / c:.3f}"
          f" ({args.minutes:g} min of 48 kHz stereo AAC to {rate} Hz mono)")

    for ch in (1, 2):
        multiple, size = memory(path, rate, ch)
        print(f"peak memory, {rate} Hz x {ch} channel(s): {multiple:.2f} x the output array"
              f" ({size / 1e6:.1f} MB)")


if __name__ == "__main__":
    main()
