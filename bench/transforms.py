"""The cost of crop, rotate and resize steps on 300 frames of 12 s of 1080p H.264
("uint8", exact, threads=1), and what a repeated request allocates.

Times: alternating rounds of one request per variant, each variant on its own open
Decoder (so every round after the warm-up is a repeated request), medians. The steps
under test sit in front of the same resize to 224x224, so that the rest of each request
is the same: "crop + resize" against "resize" is the crop's cost, "rotate + resize"
against "resize" one rotation pass over the 1080p picture, set beside numpy writing the
same picture once (a copy, and a copy of its np.rot90 views).

Counts: a child process with LD_PRELOAD=build/bench/count_calls.so (bench/count_calls.c)
counts the extension's sws_getContext and av_frame_get_buffer calls and every heap
allocation during a first and a repeated request, and during repeated requests of two
lengths with and without steps; the difference of the two differences, divided by the
extra frames, is what the steps allocate per picture.

Run: make bench-transforms (builds the counter, then runs this)."""
import ctypes
import json
import os
import statistics
import subprocess
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import _av  # noqa: E402
from common import ROOT, alternate, h264_1080p  # noqa: E402
from video import targets  # noqa: E402

COUNTER = ROOT / "build" / "bench" / "count_calls.so"
FRAMES = 300
ROUNDS = 3
RESIZE = ("resize", 0, 0, 224, 224)
VARIANTS = {
    "no transforms (1080p out)": [],
    "resize 224x224": [RESIZE],
    "crop full frame + resize": [("crop", 0, 0, 1080, 1920), RESIZE],
    "crop 1000x1800 + resize": [("crop", 40, 60, 1000, 1800), RESIZE],
    "rotate 2 + resize": [("rotate", 2, 0, 0, 0), RESIZE],
    "rotate 1 + resize": [("rotate", 1, 0, 0, 0), RESIZE],
    "crop 224x224 (no resize)": [("crop", 428, 848, 224, 224)],
}
# The list whose repeated requests are counted: every kind of step, two resizers.
COUNTED = [("crop", 40, 60, 1000, 1800), ("rotate", 1, 0, 0, 0), ("resize", 0, 0, 640, 360),
           ("rotate", 3, 0, 0, 0), RESIZE]
NAMES = ["malloc", "calloc", "realloc", "memalign", "sws_getContext", "av_frame_get_buffer"]


def counts_child(path):
    """Runs in the LD_PRELOAD child: prints the counters of each request as JSON."""
    lib = ctypes.CDLL(str(COUNTER))
    lib.count_get.restype = ctypes.c_long
    wanted = targets(path)

    def counted(d, steps, n):
        lib.count_start()
        d.decode_video(wanted[:n], "uint8", True, steps)
        lib.count_stop()
        return {name: lib.count_get(i) for i, name in enumerate(NAMES)}

    with_steps = _av.Decoder(path, "video", threads=1)
    without = _av.Decoder(path, "video", threads=1)
    out = {"first": counted(with_steps, COUNTED, 30), "repeat": counted(with_steps, COUNTED, 30)}
    counted(without, [], 30)
    for n in (30, 120):
        out[f"steps {n}"] = counted(with_steps, COUNTED, n)
        out[f"none {n}"] = counted(without, [], n)
    print(json.dumps(out))


def allocations(path):
    env = dict(os.environ, LD_PRELOAD=str(COUNTER))
    out = subprocess.run([sys.executable, __file__, "--count", path], env=env, check=True,
                         capture_output=True, text=True).stdout
    c = json.loads(out)
    print(f"steps counted: {COUNTED}")
    for key in ("first", "repeat"):
        print(f"  {key:6} request of 30 frames: " + ", ".join(f"{k} {v}" for k, v in c[key].items()))
    total = {k: sum(v for n, v in c[k].items() if n in NAMES[:4]) for k in c}
    per_picture = ((total["steps 120"] - total["steps 30"]) - (total["none 120"] - total["none 30"])) / 90
    print(f"  allocations of repeated requests, 30 and 120 frames: with steps {total['steps 30']} "
          f"and {total['steps 120']}, without {total['none 30']} and {total['none 120']}")
    print(f"  allocations per picture caused by the steps: {per_picture:+.2f} "
          f"(the decoder's own per picture: {(total['none 120'] - total['none 30']) / 90:.2f})")


def numpy_pass_ms():
    """numpy writing a 1080p RGB picture once: a plain copy, a half turn and a quarter
    turn (np.rot90 views copied out), best of 5 x 20."""
    src = np.random.default_rng(0).integers(0, 255, (1080, 1920, 3), dtype=np.uint8)
    same, turned = np.empty_like(src), np.empty((1920, 1080, 3), np.uint8)
    passes = {"copy": lambda: np.copyto(same, src),
              "half turn": lambda: np.copyto(same, np.rot90(src, 2)),
              "quarter turn": lambda: np.copyto(turned, np.rot90(src, 1))}
    best = {}
    for name, task in passes.items():
        times = []
        for _ in range(5):
            start = time.perf_counter()
            for _ in range(20):
                task()
            times.append((time.perf_counter() - start) / 20)
        best[name] = min(times) * 1000
    return best


def main():
    path = h264_1080p(12)
    wanted = targets(path)[:FRAMES]
    assert len(wanted) == FRAMES, len(wanted)
    decoders = {name: _av.Decoder(path, "video", threads=1) for name in VARIANTS}
    tasks = {name: (lambda d=decoders[name], steps=steps: d.decode_video(wanted, "uint8", True, steps))
             for name, steps in VARIANTS.items()}
    times = alternate(tasks, rounds=ROUNDS, warmup=1)
    print(f"{path}: {FRAMES} frames, {ROUNDS} alternating rounds after a warm-up")
    base = statistics.median(times["resize 224x224"])
    for name, values in times.items():
        med = statistics.median(values)
        print(f"  {name:28} median {med * 1000:7.0f} ms ({', '.join(f'{v * 1000:.0f}' for v in values)})"
              f"  against resize: {(med - base) / FRAMES * 1000:+6.2f} ms per frame")
    print("  numpy, one 1080p RGB picture: " +
          ", ".join(f"{k} {v:.2f} ms" for k, v in numpy_pass_ms().items()))
    allocations(path)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--count"]:
        counts_child(sys.argv[2])
    else:
        main()
