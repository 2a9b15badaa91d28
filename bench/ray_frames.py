"""avarray.ray.read_frames against ray.data.read_videos, on a two-CPU local Ray cluster.

Makes (once, into build/bench/ray/, with the helpers of bench/media.py) 200 different clips of
10 s of 360p H.264 (x264 veryfast, B-frames, its default key frame every 250 frames), then
times, in alternating rounds, each job iterating over every block of its dataset on the driver:

    10 frames of each of the 200 clips:
        read_frames(paths, num_frames=10)              both CPUs, then one (concurrency=1)
        read_videos(paths) + keeping the same 10 frames  decord decodes every frame of each file
    every frame of 40 of them:
        read_frames(paths, num_frames=250)             both CPUs, then one
        read_videos(paths)

and reports the medians (min to max), the speed-up over read_videos, the throughput of two
workers over one, Ray's task timeline of the last read_frames job of each kind (tasks, how many
ran at once, idle time), and what two processes give over one without Ray at that moment (the
machine is shared: that is the ceiling for two workers). First, in the fresh cluster, it reads
every frame of 4 s of 4K and reports the reading worker's peak memory. read_videos needs decord
(`pip install decord`).

Usage: bench/ray_frames.py [--rounds N] [--clips N]
"""
import argparse
import json
import multiprocessing
import os
import pathlib
import statistics
import tempfile
import threading
import time

import numpy as np
import ray

import _av
import avarray.ray
import media
from avarray._frames import spread

SECONDS, FPS, WANTED, EVERY = 10, 25, 10, 40


def make_clips(count):
    """`count` different 10 s clips of 640x360 H.264 with x264's B-frames and its default
    key-frame interval, made once."""
    directory = media.MEDIA / "ray"
    directory.mkdir(parents=True, exist_ok=True)
    paths = [directory / f"h264_360p_10s_{i:03d}.mp4" for i in range(count)]
    for i, path in enumerate(paths):
        if not path.exists():
            media.ffmpeg(*media.testsrc("640x360", SECONDS), "-vf", f"hue=h={i * 360 / count:.2f}",
                         *media.X264, str(path))
    return [str(p) for p in paths]


def drain(ds, keep=False):
    """Every block of the dataset on the driver, as `read_frames` would feed a trainer;
    with `keep`, returns {path: [(index, picture)]}, otherwise the number of rows."""
    kept, rows = {}, 0
    for batch in ds.iter_batches(batch_size=None, batch_format="numpy"):
        rows += len(batch["path"])
        if keep:
            index = (batch["frame_index"] if "frame_index" in batch
                     else np.rint(batch["start"] * FPS))
            for path, i, picture in zip(batch["path"], index, batch["frame"]):
                kept.setdefault(str(path), []).append((int(i), picture))
    return kept if keep else rows


def read_frames(paths, wanted, concurrency=None, keep=False):
    return drain(avarray.ray.read_frames(paths, num_frames=wanted, concurrency=concurrency), keep)


def read_videos(paths, wanted, keep=False):
    ds = ray.data.read_videos(paths, include_paths=True)
    if wanted < SECONDS * FPS:
        kept = np.array(spread(SECONDS * FPS, wanted))
        ds = ds.map_batches(lambda b: {k: v[np.isin(b["frame_index"], kept)] for k, v in b.items()},
                            batch_format="numpy")
    return drain(ds, keep)


def check(ours, theirs, count, wanted):
    """The same frames of the same files; the largest difference of their pictures
    (decord converts with its own FFmpeg build)."""
    assert sorted(ours) == sorted(theirs) and len(ours) == count
    worst = 0
    for path in ours:
        a, b = sorted(ours[path], key=lambda r: r[0]), sorted(theirs[path], key=lambda r: r[0])
        assert [i for i, _ in a] == [i for i, _ in b] and len(a) == wanted, path
        diffs = (int(np.abs(x.astype(int) - y).max()) for (_, x), (_, y) in zip(a, b))
        worst = max(worst, *diffs)
    return worst


def clip_4k():
    """4 s of 3840x2160 H.264 (100 frames of 24.9 MB each as RGB), made once."""
    path = media.MEDIA / "ray" / "h264_2160p_4s.mp4"
    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        media.ffmpeg(*media.testsrc("3840x2160", 4), "-c:v", "libx264", "-preset", "ultrafast",
                     "-pix_fmt", "yuv420p", str(path))
    return str(path)


def worker_peak(path):
    """Every frame of the 4K clip through read_frames; the largest private (anonymous)
    memory of the reading worker, sampled every 10 ms from /proc while it runs. Pages of
    Ray's shared object store are not private, so they are not counted."""
    peak, done = [0], threading.Event()

    def sample():
        while not done.is_set():
            for status in pathlib.Path("/proc").glob("[0-9]*/status"):
                try:
                    if b"ray::ReadFrames" in (status.parent / "cmdline").read_bytes():
                        text = status.read_text()
                        anon = int(text.split("RssAnon:")[1].split()[0]) * 1024
                        peak[0] = max(peak[0], anon)
                except (OSError, IndexError):
                    pass
            time.sleep(0.01)

    sampler = threading.Thread(target=sample)
    sampler.start()
    rows = avarray.ray.read_frames(path, num_frames=1000).count()
    done.set()
    sampler.join()
    size = rows * 3840 * 2160 * 3
    block = ray.data.DataContext.get_current().target_max_block_size
    print(f"every frame of 4 s of 4K: {rows} frames, {size / 2**30:.2f} GiB of pictures; "
          f"block size {block / 2**20:.0f} MiB; reading worker's private memory at most "
          f"{peak[0] / 2**20:.0f} MiB")


def decode_loop(paths, wanted=WANTED):
    """The reader's work without Ray: `wanted` exact frames of each file, in this process."""
    from avarray._frames import sample_targets
    for path in paths:
        decoder = _av.Decoder(path, "video")
        decoder.decode_video(sample_targets(decoder.scan(), wanted), "uint8", True)


def machine_parallelism(paths, wanted):
    """How much faster two processes decoding half the files each finish than one process
    decoding them all, without Ray: what the shared machine gives two workers right now."""
    context = multiprocessing.get_context("spawn")
    with context.Pool(2) as pool:
        pool.starmap(decode_loop, [(paths[:1], wanted)] * 2)  # start both processes first
        start = time.perf_counter()
        pool.apply(decode_loop, (paths, wanted))
        one = time.perf_counter() - start
        start = time.perf_counter()
        pool.starmap(decode_loop, [(paths[::2], wanted), (paths[1::2], wanted)], chunksize=1)
        return one / (time.perf_counter() - start)


def timeline(since, until):
    """Ray's read tasks that ran between the two wall-clock times: how many, how long, how
    many ran at once, and for how long the job's workers sat idle."""
    with tempfile.NamedTemporaryFile(suffix=".json") as f:
        ray.timeline(f.name)
        events = json.load(open(f.name))
    tasks = sorted((e["ts"] / 1e6, (e["ts"] + e["dur"]) / 1e6) for e in events
                   if e.get("ph") == "X" and e.get("name", "").endswith("_map_task")
                   and since <= e["ts"] / 1e6 <= until)
    if not tasks:
        return "no task events"
    first, last = tasks[0][0], max(end for _, end in tasks)
    busy = sum(end - begin for begin, end in tasks)
    running = {0: 0.0, 1: 0.0, 2: 0.0}
    level, at = 0, first
    for when, step in sorted([(b, 1) for b, _ in tasks] + [(e, -1) for _, e in tasks]):
        running[min(level, 2)] += when - at
        level, at = level + step, when
    return (f"{len(tasks)} read tasks of {busy / len(tasks):.2f} s on average, from "
            f"{first - since:.2f} s into the job for {last - first:.2f} s; on average "
            f"{busy / (last - first):.2f} at once; none, one and two running for "
            f"{running[0]:.2f}, {running[1]:.2f} and {running[2]:.2f} s")


def measure(paths, wanted, rounds):
    count = min(len(paths), 4 if wanted > WANTED else len(paths))
    worst = check(read_frames(paths[:count], wanted, keep=True),
                  read_videos(paths[:count], wanted, keep=True), count, min(wanted, SECONDS * FPS))
    spans = {}

    def ours(concurrency):
        def job():
            since = time.time()
            rows = read_frames(paths, wanted, concurrency)
            spans[concurrency] = (since, time.time())
            assert rows == len(paths) * min(wanted, SECONDS * FPS), rows
        return job

    jobs = {"read_frames, 2 workers": ours(None), "read_frames, 1 worker": ours(1),
            "read_videos" + (" + filter" if wanted < SECONDS * FPS else ""):
                lambda: read_videos(paths, wanted)}
    times = {name: [] for name in jobs}
    for _ in range(rounds):
        for name, job in jobs.items():
            start = time.perf_counter()
            job()
            times[name].append(time.perf_counter() - start)
    median = {name: statistics.median(values) for name, values in times.items()}
    for name, values in times.items():
        print(f"  {name:24} {median[name]:7.2f} s ({min(values):.2f} to {max(values):.2f})")
    theirs = [name for name in jobs if name.startswith("read_videos")][0]
    print(f"  {theirs} / read_frames: {median[theirs] / median['read_frames, 2 workers']:.1f}x")
    print(f"  throughput of 2 workers over 1: "
          f"{median['read_frames, 1 worker'] / median['read_frames, 2 workers']:.2f}x")
    print(f"  same frames (first {count} files); largest picture difference from "
          f"read_videos: {worst}")
    for concurrency, label in ((None, "2 workers"), (1, "1 worker")):
        print(f"  Ray's timeline, read_frames with {label} (last round): "
              f"{timeline(*spans[concurrency])}")
    print(f"  without Ray, two processes against one: {machine_parallelism(paths, wanted):.2f}x",
          flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--clips", type=int, default=200)
    args = parser.parse_args()
    paths = make_clips(args.clips)
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    ray.data.DataContext.get_current().enable_progress_bars = False
    worker_peak(clip_4k())
    print(f"load average before: {os.getloadavg()[0]:.2f}")
    for files, wanted, what in ((paths, WANTED, f"{WANTED} frames from each"),
                                (paths[:EVERY], SECONDS * FPS, "every frame of each")):
        print(f"{what} of {len(files)} clips of {SECONDS} s 360p H.264 (a key frame every 250 "
              f"frames); median of {args.rounds} rounds (min to max)", flush=True)
        measure(files, wanted, args.rounds)
    print(f"load average after: {os.getloadavg()[0]:.2f}")
    ray.shutdown()


if __name__ == "__main__":
    main()
