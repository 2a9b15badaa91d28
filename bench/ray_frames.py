"""avarray.ray.read_frames against ray.data.read_videos, on a two-CPU local Ray cluster.

Makes (once, into build/bench/ray/, with the helpers of bench/media.py) 20 clips of 10 s of
360p H.264, with a key frame every 250 frames (x264's default) and every 25, then times for
each set, in alternating rounds, each job iterating over every block of its dataset on the
driver:

    read_frames(paths, num_frames=10)                  both CPUs, then one (concurrency=1)
    read_videos(paths) + keeping the same 10 frames    decord decodes every frame of each file

and reports the medians (min to max), the speed-up over read_videos and the throughput of
two workers over one, and what two processes give over one without Ray at that moment
(the machine is shared: that is the ceiling for two workers); then two workers against one
over the clips listed five times, past the executor's start. First, in the fresh cluster, it
reads every frame of 4 s of 4K and reports the reading worker's peak memory. read_videos needs
decord (`pip install decord`).

Usage: bench/ray_frames.py [--rounds N]
"""
import argparse
import multiprocessing
import os
import pathlib
import statistics
import threading
import time

import numpy as np
import ray

import _av
import avarray.ray
import media
from avarray._frames import spread

CLIPS, SECONDS, FPS, WANTED = 20, 10, 25, 10
REPEAT = 5


def make_clips(gop):
    """20 different 10 s clips of 640x360 H.264 with x264's B-frames and a key frame every
    `gop` frames, made once."""
    directory = media.MEDIA / "ray"
    directory.mkdir(parents=True, exist_ok=True)
    paths = [directory / f"h264_360p_10s_gop{gop}_{i:02d}.mp4" for i in range(CLIPS)]
    for i, path in enumerate(paths):
        if not path.exists():
            media.ffmpeg(*media.testsrc("640x360", SECONDS), "-vf", f"hue=h={i * 360 // CLIPS}",
                         *media.X264, "-g", str(gop), str(path))
    return [str(p) for p in paths]


def drain(ds):
    """Every block of the dataset on the driver, as `read_frames` would feed a trainer;
    returns {path: [(index, picture)]} of the kept frames."""
    kept = {}
    for batch in ds.iter_batches(batch_size=None, batch_format="numpy"):
        index = batch["frame_index"] if "frame_index" in batch else np.rint(batch["start"] * FPS)
        for path, i, picture in zip(batch["path"], index, batch["frame"]):
            kept.setdefault(str(path), []).append((int(i), picture))
    return kept


def read_frames(paths, concurrency=None):
    return drain(avarray.ray.read_frames(paths, num_frames=WANTED, concurrency=concurrency))


def read_videos(paths):
    keep = np.array(spread(SECONDS * FPS, WANTED))
    ds = ray.data.read_videos(paths, include_paths=True)
    ds = ds.map_batches(lambda b: {k: v[np.isin(b["frame_index"], keep)] for k, v in b.items()},
                        batch_format="numpy")
    return drain(ds)


def check(ours, theirs):
    """The same frames of the same files; the largest difference of their pictures
    (decord converts with its own FFmpeg build)."""
    assert sorted(ours) == sorted(theirs) and len(ours) == CLIPS
    worst = 0
    for path in ours:
        a, b = sorted(ours[path], key=lambda r: r[0]), sorted(theirs[path], key=lambda r: r[0])
        assert [i for i, _ in a] == [i for i, _ in b], path
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


def decode_loop(paths):
    """The reader's work without Ray: 10 exact frames of each file, in this process."""
    from avarray._frames import sample_targets
    for path in paths:
        decoder = _av.Decoder(path, "video")
        decoder.decode_video(sample_targets(decoder.scan(), WANTED), "uint8", True)


def machine_parallelism(paths):
    """How much faster two processes decoding half the files each finish than one process
    decoding them all, without Ray: what the shared machine gives two workers right now."""
    context = multiprocessing.get_context("spawn")
    with context.Pool(2) as pool:
        pool.map(decode_loop, [paths[:1], paths[:1]])  # start both processes first
        start = time.perf_counter()
        pool.apply(decode_loop, (paths,))
        one = time.perf_counter() - start
        start = time.perf_counter()
        pool.map(decode_loop, [paths[::2], paths[1::2]], chunksize=1)
        return one / (time.perf_counter() - start)


def measure(paths, rounds):
    worst = check(read_frames(paths), read_videos(paths))
    jobs = {"read_frames, 2 workers": lambda: read_frames(paths),
            "read_frames, 1 worker": lambda: read_frames(paths, concurrency=1),
            "read_videos + filter": lambda: read_videos(paths)}
    times = {name: [] for name in jobs}
    for _ in range(rounds):
        for name, job in jobs.items():
            start = time.perf_counter()
            job()
            times[name].append(time.perf_counter() - start)
    median = {name: statistics.median(values) for name, values in times.items()}
    for name, values in times.items():
        print(f"  {name:24} {median[name]:7.2f} s ({min(values):.2f} to {max(values):.2f})")
    print(f"  read_videos + filter / read_frames: "
          f"{median['read_videos + filter'] / median['read_frames, 2 workers']:.1f}x")
    print(f"  throughput of 2 workers over 1: "
          f"{median['read_frames, 1 worker'] / median['read_frames, 2 workers']:.2f}x")
    print(f"  same frames; largest picture difference from read_videos: {worst}")
    print(f"  without Ray, two processes against one: {machine_parallelism(paths):.2f}x")
    steady_state(paths, rounds)


def steady_state(paths, rounds):
    """Two workers against one once the executor runs at full width: the same request over
    the clips listed REPEAT times, with the read tasks Ray chooses (about one per file) and
    with 8 (`override_num_blocks=8`). Ray Data starts each dataset with zero resource limits
    until its autoscaling coordinator reports the cluster (about a second) and runs one task
    at a time until then: most of the 20-file job above."""
    many = paths * REPEAT
    for blocks in (None, 8):
        times = {1: [], None: []}
        for _ in range(rounds):
            for concurrency in times:
                start = time.perf_counter()
                rows = sum(len(b["path"]) for b in avarray.ray.read_frames(
                    many, num_frames=WANTED, concurrency=concurrency,
                    override_num_blocks=blocks).iter_batches(batch_size=None,
                                                             batch_format="numpy"))
                times[concurrency].append(time.perf_counter() - start)
                assert rows == len(many) * WANTED
        one, two = statistics.median(times[1]), statistics.median(times[None])
        tasks = "the read tasks Ray chooses" if blocks is None else f"{blocks} read tasks"
        print(f"  the same over {len(many)} files (the clips {REPEAT} times), {tasks}: "
              f"2 workers {two:.2f} s, 1 worker {one:.2f} s; throughput of 2 workers over 1: "
              f"{one / two:.2f}x")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    clips = {gop: make_clips(gop) for gop in (250, 25)}
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    ray.data.DataContext.get_current().enable_progress_bars = False
    worker_peak(clip_4k())
    print(f"load average before: {os.getloadavg()[0]:.2f}")
    for gop, paths in clips.items():
        print(f"{WANTED} frames from each of {CLIPS} clips of {SECONDS} s 360p H.264, a key frame "
              f"every {gop} frames; median of {args.rounds} rounds (min to max)")
        measure(paths, args.rounds)
    print(f"load average after: {os.getloadavg()[0]:.2f}")
    ray.shutdown()


if __name__ == "__main__":
    main()
