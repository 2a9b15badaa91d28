"""decode_video of every frame of a 10 s 1080p H.264 clip ("uint8", exact, threads=1)
against the limit: FFmpeg's decode loop plus sws_scale to RGB24 into one preallocated
buffer, in C++ (bench/limit.cpp), same FFmpeg libraries, single-threaded. Also the peak
memory of that request and the cost of "float32" over "uint16".

Run: make bench-video (builds the limit program, then runs this)."""
import json
import os
import pathlib
import resource
import statistics
import subprocess
import sys
import time

# NumPy's BLAS threads would compete for the two cores.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import _av  # noqa: E402
from common import ROOT, h264_1080p_10s  # noqa: E402

LIMIT = ROOT / "build" / "bench" / "limit"
ROUNDS = 7


def targets(path):
    """Every frame, with the key frame before it as seek point (from ffprobe)."""
    def probe(*args):
        out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-of", "json",
                              *args, path], capture_output=True, check=True, text=True).stdout
        return json.loads(out)
    frames = [int(f["pts"]) for f in probe("-show_frames", "-show_entries", "frame=pts")["frames"]]
    keys = sorted(int(p["pts"]) for p in probe("-show_packets", "-show_entries",
                                               "packet=pts,flags")["packets"]
                  if p["flags"].startswith("K"))
    return [(pts, max([k for k in keys if k <= pts] or keys[:1])) for pts in frames]


def run_limit(path, *options):
    """(frames, {wall, user, sys} seconds) as the limit program measures itself."""
    out = subprocess.run([str(LIMIT), *options, path], capture_output=True, check=True,
                         text=True).stdout
    frames, wall, user, system = out.split()
    return int(frames), {"wall": float(wall), "user": float(user), "sys": float(system)}


def run_module(path, wanted, dtype="uint8"):
    """(array, {wall, user, sys} seconds) of opening the file and one request."""
    before, start = resource.getrusage(resource.RUSAGE_SELF), time.perf_counter()
    frames = _av.Decoder(path, "video", threads=1).decode_video(wanted, dtype, True)[0]
    wall, after = time.perf_counter() - start, resource.getrusage(resource.RUSAGE_SELF)
    return frames, {"wall": wall, "user": after.ru_utime - before.ru_utime,
                    "sys": after.ru_stime - before.ru_stime}


def peak_memory(path):
    """One request in a fresh process: (array bytes, peak RSS minus RSS before the call)."""
    code = f"""
import resource, sys
sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r})
import _av, video
wanted = video.targets({path!r})
d = _av.Decoder({path!r}, "video", threads=1)
d.decode_video(wanted[:1], "uint8", True)  # NumPy imported, converter made
with open("/proc/self/statm") as f:
    before = int(f.read().split()[1]) * resource.getpagesize()
frames = d.decode_video(wanted, "uint8", True)[0]
print(frames.nbytes, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - before)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, check=True, text=True)
    nbytes, growth = out.stdout.split()
    return int(nbytes), int(growth)


def show(name, runs):
    parts = []
    for key in ("wall", "user", "sys"):
        values = [r[key] for r in runs]
        parts.append(f"{key} {statistics.median(values) * 1000:6.0f}")
    walls = ", ".join(f"{r['wall'] * 1000:.0f}" for r in runs)
    print(f"  {name:34} median ms: {'  '.join(parts)}   (wall: {walls})")


def main():
    path = h264_1080p_10s()
    wanted = targets(path)
    # Warm-up: the first touch of fresh memory in a process is far slower on this machine.
    frames, _ = run_module(path, wanted)
    count, _ = run_limit(path)
    assert count == len(wanted) == frames.shape[0], (count, len(wanted), frames.shape)
    shape = frames.shape
    del frames
    # Alternate the two, so that both see the same load on a shared machine.
    limit, batch, module = [], [], []
    for _ in range(ROUNDS):
        limit.append(run_limit(path)[1])
        batch.append(run_limit(path, "--into-batch")[1])
        frames, times = run_module(path, wanted)
        del frames
        module.append(times)
    print(f"{path}: {len(wanted)} frames, array {shape}, {ROUNDS} alternating rounds")
    show("limit (C++ decode + sws_scale)", limit)
    show("decode_video(uint8, exact)", module)
    show("limit --into-batch (fresh array)", batch)

    def med(runs, *keys):
        return statistics.median(sum(r[k] for k in keys) for r in runs)

    print(f"  ratio of medians: wall {med(module, 'wall') / med(limit, 'wall'):.3f}, "
          f"CPU {med(module, 'user', 'sys') / med(limit, 'user', 'sys'):.3f}, "
          f"user {med(module, 'user') / med(limit, 'user'):.3f} (target <= 1.05); "
          f"against --into-batch: wall {med(module, 'wall') / med(batch, 'wall'):.3f}, "
          f"CPU {med(module, 'user', 'sys') / med(batch, 'user', 'sys'):.3f}")

    nbytes, growth = peak_memory(path)
    print(f"  peak memory above the RSS before the call: {growth / 2**20:.0f} MiB for an array "
          f"of {nbytes / 2**20:.0f} MiB, {(growth - nbytes) / 2**20:+.0f} MiB "
          f"(target <= +128 MiB)")

    # "float32" against "uint16" on the first 80 frames: one extra pass, no more.
    few = wanted[:80]
    extra = {"uint16": [], "float32": []}
    for _ in range(3):
        for dtype in extra:
            frames, times = run_module(path, few, dtype)
            del frames
            extra[dtype].append(times)
    for dtype, runs in extra.items():
        show(f"{len(few)} frames, {dtype}", runs)


if __name__ == "__main__":
    main()
