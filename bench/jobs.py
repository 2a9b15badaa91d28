"""The benchmark's workloads: what every tool does (1 to 7, the comparison of the tools) and what
ours alone does against baselines (6, 8 to 11), and how the latter's figures are summed up."""
import bisect
import random
import statistics

AUDIO_RATE = 16000
SEED = 8
NAMES = {"audio": 6, "video": 8, "scan": 9, "timestamps": 10, "transforms": 11, "mpeg": 12}


def jobs(quick, workloads):
    """[(job, passes)]: what the tools do, in the order of the report, for the workloads wanted
    (None: the comparison of the tools). A job with `variants` runs those entries ({label: (tool,
    kind or None, arguments)}) instead of the tools; `baselines` join the tools on one thread;
    `extra` jobs run only when their workload is asked for; `count` runs ours with the counting
    library; `count_once` adds one untimed run of ours with it, for its counts; `ours_args` are
    arguments for ours alone; `fresh` gives every run a new process; an argument `keep` keeps ours
    open between runs."""
    import media

    out = []

    def add(workload, title, clip, kind, args, passes=(1, 0), in_quick=False, **fields):
        if (quick and not in_quick) or workload not in (workloads or range(1, 8)):
            return
        if workloads is None and fields.get("extra"):
            return
        out.append(({"workload": workload, "title": title, "clip": clip, "kind": kind,
                     "args": args, **fields}, passes))

    def ours(workload, title, clip, kind, args, variants=None, **fields):
        """A job for ours alone (or for the tools of its variants), on one thread."""
        add(workload, title, clip, kind, args, passes=(1,), in_quick=True, extra=True,
            variants=variants or {"avarray": ("avarray", None, {})}, **fields)

    def frames(name):
        return len(media.frames(name))

    def every(name, count=None):
        indices = list(range(count or frames(name)))
        return {"indices": indices, "targets": media.targets(name, indices)}

    want = set(workloads or range(1, 8))
    for make, numbers in WORKLOADS.items():
        if set(numbers) & want:
            make(add, ours, frames, every, want)
    return out


def comparison(add, ours, frames, every, want):
    """Workloads 1 to 7: every tool on the same work, and the memory of our audio requests. Only
    the clips of the workloads wanted are made."""
    import media

    def random_indices(name, count):
        return random.Random(f"{SEED}-{name}-{count}").sample(range(frames(name)), count)

    def uniform_seconds(name):
        frames_ = media.frames(name)
        duration = frames_[-1][1] + frames_[-1][2]
        starts = [f[1] for f in frames_]
        # Each moved to a quarter into the frame showing then, so that the frame showing and the
        # frame whose start is nearest (what some tools give) are the same one.
        out = []
        for k in range(10):
            _, start, length = frames_[max(bisect.bisect_right(starts, duration * (k + 0.5) / 10) - 1, 0)]
            out.append(start + length / 4)
        return out

    g30, g600, hevc, hd, vp9 = ("h264_360p_60s_gop30", "h264_360p_60s_gop600", "hevc_360p_60s",
                                "h264_1080p_10s", "vp9_720p_30s")
    for clip in (hd, vp9):
        add(1, "open + first frame", clip, "first_frame", {}, in_quick=clip == hd, expect=[0])
    for clip in (hd, vp9):
        add(2, "first 100 frames", clip, "first_n", {"n": 100}, in_quick=clip == hd,
            expect=list(range(100)))
    for clip in (hd, g600) if 2 in want else ():
        add(2, "every frame", clip, "first_n", {"n": None}, in_quick=clip == g600,
            expect=list(range(frames(clip))), baselines=["limit"])
    for count in (10, 32) if 3 in want else ():
        for clip in (g30, g600, hevc, vp9):
            indices = random_indices(clip, count)
            add(3, f"{count} random frames", clip, "frames_at", {"indices": indices},
                in_quick=clip == g600, expect=indices, count_once=True)
    # Ours is given each frame as its own seek point, as callers without an index do; the peers
    # have no seek points and do the work of "32 random frames".
    for clip in (g30, g600, hevc) if 3 in want else ():
        indices = random_indices(clip, 32)
        add(3, "32 random frames, each its own seek point", clip, "frames_at", {"indices": indices},
            in_quick=clip == g600, expect=indices, count_once=True,
            ours_args={"own_seek_points": True})
    for clip in (g30, g600, hevc, vp9) if 4 in want else ():
        add(4, "10 frames by second", clip, "played_at", {"seconds": uniform_seconds(clip)},
            in_quick=clip == g600, seconds=True, count_once=True)
    if 5 in want:
        indices = random_indices(hd, 10)
        add(5, "10 frames resized to 256x256", hd, "frames_at",
            {"indices": indices, "size": (256, 256)}, in_quick=True, expect=indices, resized=True)
    add(6, "whole AAC file to 16 kHz mono float32", "aac_10min", "audio", {"rate": AUDIO_RATE},
        passes=(1,), in_quick=True, baselines=["ffmpeg"])
    for channels in (1, 2):
        ours(6, f"peak memory, 16 kHz x {channels}", "aac_10min", "peak_memory",
             {"rate": AUDIO_RATE, "channels": channels}, fresh=True, rounds=0)
    for parallel, title in ((1, "one decoder"), (2, "two decoders on two threads")):
        add(7, f"first 300 frames, {title}", g30, "first_n",
            {"n": 300}, passes=(1,), in_quick=True, parallel=parallel, expect=list(range(300)))


def video(add, ours, frames, every, want):
    """Workload 8: decode_video of every frame of 10 s of 1080p against the limit (the cost gate
    of decode_video), the peak memory of that request, and "float32" against "uint16"."""
    hd = "h264_1080p_10s"
    ours(8, "every frame against the limit", hd, "frames_at", every(hd), rounds=7,
         summary=video_summary, variants={
             "limit (C++ decode + sws_scale)": ("limit", "first_n", {}),
             "decode_video(uint8, exact)": ("avarray", None, {}),
             "limit --into-batch (fresh array)": ("limit --into-batch", "first_n", {})},
         expect=list(range(frames(hd))))
    ours(8, "peak memory of that request", hd, "peak_memory", {}, fresh=True, rounds=0)
    ours(8, "80 frames, float32 against uint16", hd, "frames_at", every(hd, 80), rounds=3,
         variants={f"80 frames, {t}": ("avarray", None, {"dtype": t}) for t in ("uint16", "float32")})


def scan(add, ours, frames, every, want):
    """Workload 9: scan() of 10 minutes of 720p against ffprobe -show_packets."""
    ours(9, "scan of 10 min of 720p", "h264_720p_10min", "scan", {}, variants={
        "ffprobe -show_packets": ("ffprobe", None, {}),
        "Decoder.scan()": ("avarray", None, {"keep": True}),
        "open + Decoder.scan()": ("avarray", None, {})})


def timestamps(add, ours, frames, every, want):
    """Workload 10: decode_timestamps on 60 s of 720p with a key frame every 2 s. Sparse sampling
    counts the seeks and decoded frames it takes; dense sampling (every frame start of the first
    6 s) is timed against decode_video of the same frames."""
    import media
    g50 = "h264_720p_60s_gop50"
    starts, keys = [f[1] for f in media.frames(g50)], set(media.key_points(g50))
    key_starts = [f[1] for f in media.frames(g50) if f[0] in keys]
    samplings = {f"{n} seconds every {60 / n:.2f} s": [i * 60 / n for i in range(n)] for n in (16, 48)}
    # Each the last frame shown before a key frame, which MP4 indexes at its decoding time,
    # before these frames.
    samplings["the frame before each key frame"] = [starts[starts.index(k) - 1] for k in key_starts[1:]]
    for label, seconds in samplings.items():
        ours(10, label, g50, "played_at", {"seconds": seconds, "source": "recording"},
             count=True, rounds=0)
    dense = every(g50, bisect.bisect_left(starts, 6.0))
    ours(10, "every frame start of the first 6 s", g50, "frames_at", {}, variants={
        "decode_video": ("avarray", "frames_at", {**dense, "keep": True}),
        "decode_timestamps": ("avarray", "played_at", {"seconds": starts[:len(dense["indices"])],
                                                       "keep": True})},
        expect=dense["indices"])


def transforms(add, ours, frames, every, want):
    """Workload 11: 300 frames of 12 s of 1080p, the steps in front of the same resize to 224x224
    (so that "crop + resize" against "resize" is the crop's cost); NumPy writing such a picture;
    and what a repeated request allocates."""
    hd12, resize = "h264_1080p_12s", ("resize", 0, 0, 224, 224)
    ours(11, "300 frames with steps", hd12, "frames_at", {**every(hd12, 300), "keep": True},
         rounds=3, against="resize 224x224", variants={
             label: ("avarray", None, {"steps": steps}) for label, steps in {
                 "no transforms (1080p out)": [],
                 "resize 224x224": [resize],
                 "crop full frame + resize": [("crop", 0, 0, 1080, 1920), resize],
                 "crop 1000x1800 + resize": [("crop", 40, 60, 1000, 1800), resize],
                 "rotate 2 + resize": [("rotate", 2, 0, 0, 0), resize],
                 "rotate 1 + resize": [("rotate", 1, 0, 0, 0), resize],
                 "crop 224x224 (no resize)": [("crop", 428, 848, 224, 224)]}.items()})
    ours(11, "NumPy writing one 1080p RGB picture", hd12, "picture_pass", {}, variants={
        label: ("NumPy", None, {"turns": t}) for t, label in ((0, "copy"), (2, "half turn"),
                                                               (1, "quarter turn"))})
    # Every kind of step and two resizers: the first request builds them, a repeated one should not.
    counted = [("crop", 40, 60, 1000, 1800), ("rotate", 1, 0, 0, 0), ("resize", 0, 0, 640, 360),
               ("rotate", 3, 0, 0, 0), resize]
    ours(11, "what a repeated request allocates", hd12, "frames_at", {"keep": True}, count=True,
         rounds=1, summary=allocation_summary, variants={
             f"{name}, {n} frames": ("avarray", None, {**every(hd12, n), "steps": steps})
             for name, steps in (("steps", counted), ("none", [])) for n in (30, 120)})


def mpeg_streams(add, ours, frames, every, want):
    """Workload 12: 10 random exact frames of MPEG-2 with B-frames in MPEG-PS against the same
    encode in MPEG-TS (target: PS at most 1.2 x TS). Each run opens the file, scans it (which
    maps the packets that seeks land on) and asks for the frames, each with the key frame
    before it as seek point."""
    for clip in ("mpeg2_360p_60s_ts", "mpeg2_360p_60s_mpg"):
        indices = random.Random(f"{SEED}-mpeg2-10").sample(range(frames(clip)), 10)
        ours(12, "10 random exact frames", clip, "frames_at", {"indices": indices},
             expect=indices, summary=mpeg_summary)


WORKLOADS = {comparison: range(1, 8), video: [8], scan: [9], timestamps: [10], transforms: [11],
             mpeg_streams: [12]}


def median_of(entry, *keys):
    return statistics.median(sum(entry[k][i] for k in keys) for i in range(len(entry["times"])))


_MPEG_MEDIANS = {}


def mpeg_summary(job, results):
    """The MPEG-PS run against the MPEG-TS one before it (target <= 1.2)."""
    timed = [e for e in results if "median" in e]
    if not timed:
        return
    _MPEG_MEDIANS[job["clip"].rsplit("_", 1)[1]] = timed[0]["median"], timed[0]["cpu_median"]
    if job["clip"].endswith("_mpg") and "ts" in _MPEG_MEDIANS:
        (ps, ps_cpu), (ts, ts_cpu) = _MPEG_MEDIANS["mpg"], _MPEG_MEDIANS["ts"]
        print(f"  MPEG-PS against MPEG-TS, ratio of medians: wall {ps / ts:.3f}, CPU "
              f"{ps_cpu / ts_cpu:.3f} (target <= 1.2)", flush=True)


def video_summary(job, results):
    """Ours against the limit, the cost gate of decode_video (target <= 1.05)."""
    import media
    limit, module, batch = results
    count, (height, width) = len(job["expect"]), media.size(job["clip"])
    print(f"  {media.clip_path(job['clip'])}: {count} frames, array {(count, height, width, 3)}, "
          f"{len(module['times'])} alternating rounds", flush=True)
    if not all("median" in e for e in results):
        return
    print(f"  ratio of medians: wall {module['median'] / limit['median']:.3f}, "
          f"CPU {median_of(module, 'user', 'sys') / median_of(limit, 'user', 'sys'):.3f}, "
          f"user {median_of(module, 'user') / median_of(limit, 'user'):.3f} (target <= 1.05); "
          f"against --into-batch: wall {module['median'] / batch['median']:.3f}, "
          f"CPU {median_of(module, 'user', 'sys') / median_of(batch, 'user', 'sys'):.3f}", flush=True)


def allocation_summary(job, results):
    """Counts of the first request and of a repeated one, and the allocations per picture that the
    steps cause: the growth from 30 to 120 frames with steps, less that without."""
    counts = {e["tool"]: (e.get("counts"), e.get("repeat_counts")) for e in results}
    if not all(all(c) for c in counts.values()):
        return print("  no counts: build/bench/counting.so is missing or a run failed", flush=True)
    names = ("malloc", "calloc", "realloc", "memalign", "sws_getContext", "av_frame_get_buffer")
    first, repeat = counts["steps, 30 frames"]
    for label, c in (("first", first), ("repeat", repeat)):
        print(f"  {label:6} request of 30 frames: " + ", ".join(f"{k} {c[k]}" for k in names))
    total = {label: sum(c[1][k] for k in names[:4]) for label, c in counts.items()}
    extra = (total["steps, 120 frames"] - total["steps, 30 frames"]
             - (total["none, 120 frames"] - total["none, 30 frames"])) / 90
    own = (total["none, 120 frames"] - total["none, 30 frames"]) / 90
    print(f"  allocations per picture caused by the steps: {extra:+.2f} (the decoder's own per "
          f"picture: {own:.2f})", flush=True)


def counts_summary(job, results):
    """Seeks and decoded frames of counted runs beside the fewest a decoder needs; time per frame
    against another entry; ratios to the first entry; figures (peak memory)."""
    import media
    for e in results:
        figures, counts = e.get("figures", {}), e.get("counts")
        if "array" in figures:
            print(f"    peak memory above the RSS before the call: {figures['growth'] / 2**20:.0f} MiB "
                  f"for an array of {figures['array'] / 2**20:.0f} MiB, "
                  f"{(figures['growth'] - figures['array']) / 2**20:+.0f} MiB, "
                  f"{figures['growth'] / figures['array']:.2f} x the array", flush=True)
        if counts and job.get("kind") in ("played_at", "frames_at"):
            frames = media.frames(job["clip"])
            starts = [f[1] for f in frames]
            seconds = job["args"].get("seconds")
            indices = ([bisect.bisect_right(starts, t) - 1 for t in seconds] if seconds
                       else job["args"]["indices"])
            intervals, least = media.fewest(job["clip"], indices, lookahead=bool(seconds))
            after = sum(1 for f in frames if frames[max(indices)][0] < f[0] <= counts["max_frame_pts"])
            jumps = figures.get("file position jumps", "-")
            e["decoded"] = {"frames": counts["frames_decoded"], "fewest": least,
                            "seeks": counts["seeks"], "intervals": intervals}
            print(f"    in {intervals} key-frame intervals: av_seek_frame calls {counts['seeks']} "
                  f"(targets {counts['seek_targets'][:4]} ...), file position jumps {jumps}; frames "
                  f"decoded {counts['frames_decoded']} (fewest {least}; received "
                  f"{counts['frames_received']}), packets sent "
                  f"{counts['packets_sent']}; frames decoded after the last answer: {after}", flush=True)
    timed = [e for e in results if "median" in e]
    against = next((e for e in timed if e["tool"] == job.get("against")), None)
    frames = len(job.get("expect") or job["args"].get("indices", ()))
    for e in timed[1:] if len(timed) > 1 and "variants" in job else []:
        line = f"    {e['tool']}: {e['median'] / timed[0]['median']:.3f} x {timed[0]['tool']}"
        if against and frames:
            line += f", {(e['median'] - against['median']) / frames * 1000:+.2f} ms per frame against {against['tool']}"
        print(line, flush=True)


