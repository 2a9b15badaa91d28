"""Import + open + first frame of a clip, in fresh processes, for several Pythons in turn.

    python bench/first_frame.py CLIP ROUNDS PYTHON [PYTHON ...]

Each round runs every interpreter once, alternating, each in a new process that times
`import _av`, the open and the first decoded frame (numpy's import included, as a user
pays it). Prints the median and range per interpreter and the ratio to the first one.
"""
import statistics
import subprocess
import sys

PROGRAM = """
import time
t = time.perf_counter()
import _av
d = _av.Decoder({clip!r}, "video")
d.decode_video([(0, 0)], "uint8", True)
print(time.perf_counter() - t, _av.__file__)
"""


def main():
    clip, rounds, pythons = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
    times = {p: [] for p in pythons}
    where = {}
    for _ in range(rounds):
        for p in pythons:
            out = subprocess.run([p, "-c", PROGRAM.format(clip=clip)], check=True,
                                 capture_output=True, text=True, cwd="/").stdout.split()
            times[p].append(float(out[0]))
            where[p] = out[1]
    base = statistics.median(times[pythons[0]])
    for p in pythons:
        t = times[p]
        m = statistics.median(t)
        print(f"{where[p]}: median {m * 1e3:.1f} ms ({min(t) * 1e3:.1f} to {max(t) * 1e3:.1f}), "
              f"{m / base:.2f}x")


if __name__ == "__main__":
    main()
