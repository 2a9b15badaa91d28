"""The module against the peers a user would pick instead (PyAV, decord, torchcodec, OpenCV) on
the same work, with every tool's output checked against ffprobe and the ffmpeg tool.

Run: make bench (sets up .venv-bench, then runs this), or
     .venv-bench/bin/python bench/peers.py [--quick] [--rounds N] [--tools a,b] [--only 2,3]

Each tool runs in a worker process of its own (its FFmpeg libraries never meet another's; only
torchcodec's gets LD_LIBRARY_PATH, to load the FFmpeg 7.1 build). The driver hands the workers
one run at a time, alternating between tools, and times nothing itself: each worker times its
own run. The first run of each job is a warm-up whose output is checked; the rest are timed.
Writes bench/results.md and bench/results.png."""
import argparse
import bisect
import json
import os
import pathlib
import platform
import random
import statistics
import subprocess
import sys
import threading
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))

AUDIO_RATE = 16000
SHORT = 0.1  # seconds: jobs this short get five times the rounds
SEED = 8
# The bare FFmpeg decode + sws_scale loop in C++ (bench/limit.cpp, built by make): `limit FILE`
# decodes every frame on one thread and prints "frames seconds user-seconds system-seconds".
LIMIT = pathlib.Path(os.environ.get("AVARRAY_LIMIT", ROOT / "build" / "bench" / "limit"))


# ---------------------------------------------------------------------------------- the work

def jobs(quick):
    """[(job, passes)]: what every tool does, in the order of the report."""
    from peer_media import AUDIO_CLIP, probe_frames

    def frames(name):
        return len(probe_frames(name))

    def random_indices(name, count):
        return random.Random(f"{SEED}-{name}-{count}").sample(range(frames(name)), count)

    def uniform_seconds(name):
        frames_ = probe_frames(name)
        duration = frames_[-1][1] + frames_[-1][2]
        starts = [f[1] for f in frames_]
        # Each moved to a quarter into the frame showing then, so that the frame showing and the
        # frame whose start is nearest (what some tools give) are the same one.
        out = []
        for k in range(10):
            _, start, length = frames_[max(bisect.bisect_right(starts, duration * (k + 0.5) / 10) - 1, 0)]
            out.append(start + length / 4)
        return out

    g30, g600, hd, vp9 = ("h264_360p_60s_gop30", "h264_360p_60s_gop600", "h264_1080p_10s",
                          "vp9_720p_30s")
    both, single = (1, 0), (1,)
    out = []

    def add(workload, title, clip, kind, args, passes=both, in_quick=False, **extra):
        if quick and not in_quick:
            return
        out.append(({"workload": workload, "title": title, "clip": clip, "kind": kind,
                     "args": args, **extra}, passes))

    for clip in (hd, vp9):
        add(1, "open + first frame", clip, "first_frame", {}, in_quick=clip == hd, expect=[0])
    for clip in (hd, vp9):
        add(2, "first 100 frames", clip, "first_n", {"n": 100}, in_quick=clip == hd,
            expect=list(range(100)))
    for clip in (hd, g600):
        add(2, "every frame", clip, "first_n", {"n": None}, in_quick=clip == g600,
            expect=list(range(frames(clip))))
    for count in (10, 32):
        for clip in (g30, g600, vp9):
            indices = random_indices(clip, count)
            add(3, f"{count} random frames", clip, "frames_at", {"indices": indices},
                in_quick=clip == g600, expect=indices)
    for clip in (g30, g600, vp9):
        add(4, "10 frames by second", clip, "played_at", {"seconds": uniform_seconds(clip)},
            in_quick=clip == g600, seconds=True)
    indices = random_indices(hd, 10)
    add(5, "10 frames resized to 256x256", hd, "frames_at", {"indices": indices, "size": (256, 256)},
        in_quick=True, expect=indices, resized=True)
    add(6, "whole AAC file to 16 kHz mono float32", AUDIO_CLIP, "audio", {"rate": AUDIO_RATE},
        passes=single, in_quick=True)
    for parallel, title in ((1, "one decoder"), (2, "two decoders on two threads")):
        add(7, f"first 300 frames, {title}", g30, "first_n",
            {"n": 300}, passes=single, in_quick=True, parallel=parallel, expect=list(range(300)))
    return out


# ---------------------------------------------------------------------------------- the worker

def worker(tool_name):
    """Serves one tool: reads one JSON request a line on stdin, answers one JSON line."""
    protocol = os.fdopen(os.dup(1), "w", buffering=1)
    os.dup2(2, 1)  # whatever the libraries print goes to stderr, never into the protocol
    from peer_media import Reference, check_audio, clip_path
    from peer_tools import TOOLS, Unavailable, loaded_ffmpeg_version

    adapters, references = {}, {}

    def adapter(threads):
        if threads not in adapters:
            adapters[threads] = TOOLS[tool_name](threads)
        return adapters[threads]

    def run(job, threads):
        tool = adapter(threads)
        getattr(tool, "configure", lambda: None)()
        method = getattr(tool, job["kind"])
        args = dict(job["args"])
        if "size" in args:
            args["size"] = tuple(args["size"])
        path = clip_path(job["clip"])
        if job.get("parallel", 1) == 1:
            start, cpu = time.perf_counter(), time.process_time()
            out = method(path, **args)
            return time.perf_counter() - start, time.process_time() - cpu, out
        outs, errors = [], []

        def one():
            try:
                outs.append(method(path, **args))
            except BaseException as e:  # noqa: BLE001 - reported to the driver
                errors.append(e)
        threads_ = [threading.Thread(target=one) for _ in range(job["parallel"])]
        start, cpu = time.perf_counter(), time.process_time()
        for t in threads_:
            t.start()
        for t in threads_:
            t.join()
        elapsed, cpu = time.perf_counter() - start, time.process_time() - cpu
        if errors:
            raise errors[0]
        return elapsed, cpu, outs[0]

    def check(job, out):
        if job["kind"] == "audio":
            return check_audio(*out, rate=job["args"]["rate"])
        if job["clip"] not in references:
            references[job["clip"]] = Reference(job["clip"])
        ref = references[job["clip"]]
        expect = job.get("expect") or [ref.showing_at(t) for t in job["args"]["seconds"]]
        return ref.check_pictures(out[0], out[1], expect, job.get("resized", False))

    for line in sys.stdin:
        request = json.loads(line)
        try:
            if request["cmd"] == "info":
                version, ffmpeg = adapter(1).version()
                answer = {"version": version, "ffmpeg": loaded_ffmpeg_version() or ffmpeg}
            else:
                seconds, cpu, out = run(request["job"], request["threads"])
                answer = {"seconds": seconds, "cpu": cpu}
                if request.get("check"):
                    ok, detail = check(request["job"], out)
                    answer.update(ok=ok, detail=detail)
                del out
        except (Unavailable, NotImplementedError, ImportError) as e:
            answer = {"unavailable": f"{type(e).__name__}: {e}"}
        except Exception as e:  # noqa: BLE001 - a peer's failure is a result, not a crash
            answer = {"error": f"{type(e).__name__}: {e}"}
        protocol.write(json.dumps(answer) + "\n")


def torchcodec_ffmpeg():
    """The FFmpeg 7.1 build with libavfilter that `make bench` makes for torchcodec, if any."""
    prefix_file = ROOT / "build" / "ffmpeg-full-prefix"
    return prefix_file.read_text().strip() if prefix_file.exists() else None


class Worker:
    """A tool's worker process; restarted if it dies."""

    def __init__(self, tool):
        self.tool, self.proc = tool, None
        self.env = dict(os.environ)
        if tool == "torchcodec" and torchcodec_ffmpeg():
            self.env["LD_LIBRARY_PATH"] = f"{torchcodec_ffmpeg()}/lib:" + self.env.get("LD_LIBRARY_PATH", "")

    def ask(self, request):
        if self.proc is None or self.proc.poll() is not None:
            self.proc = subprocess.Popen([sys.executable, __file__, "--worker", self.tool],
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                         env=self.env, cwd=ROOT)
        self.proc.stdin.write(json.dumps(request) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            code = self.proc.wait()
            return {"error": f"worker died (exit code {code})"}
        return json.loads(line)

    def close(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.stdin.close()
            self.proc.wait()


def run_limit(job):
    out = subprocess.run([str(LIMIT), str(clip_path_of(job))], capture_output=True, text=True)
    if out.returncode != 0:
        return {"error": f"limit exited with {out.returncode}: {out.stderr.strip()[-200:]}"}
    fields = (out.stdout.strip().splitlines() or [""])[-1].split()
    frames = len(job["expect"])
    if len(fields) < 2 or fields[0] != str(frames):
        return {"error": f"limit printed {out.stdout.strip()[-100:]!r}, expected {frames} frames"}
    cpu = float(fields[2]) + float(fields[3]) if len(fields) > 3 else None
    return {"seconds": float(fields[1]), "cpu": cpu, "ok": True,
            "detail": "FFmpeg decode + sws_scale only: frame count checked, pictures not"}


def limit_applies(job, threads):
    """The limit program decodes every frame on one thread: it matches those jobs only."""
    return (threads == 1 and job["kind"] == "first_n" and job["args"]["n"] is None
            and LIMIT.is_file() and os.access(LIMIT, os.X_OK))


def clip_path_of(job):
    from peer_media import clip_path
    return clip_path(job["clip"])


# ---------------------------------------------------------------------------------- the driver

def run_job(job, threads, tools, workers, rounds):
    """One warm-up run per tool (its output checked), then `rounds` timed rounds (five times as
    many for short jobs), each tool once a round, the starting tool moving by one each round.
    Returns one entry per tool."""
    from peer_report import state
    print(f"[{'1 thread' if threads == 1 else 'auto threads'}] {job['workload']}. {job['title']} "
          f"({job['clip']})", flush=True)
    names = tools + (["limit"] if limit_applies(job, threads) else [])
    entries = {t: {"tool": t, "threads": threads, "job": job, "times": [], "cpu": []} for t in names}
    request = {"cmd": "run", "job": job, "threads": threads}

    def ask(tool, check=False):
        return run_limit(job) if tool == "limit" else workers[tool].ask({**request, "check": check})

    warm = []
    for tool, entry in entries.items():
        answer = ask(tool, check=True)
        warm.append(answer.get("seconds", 0.0))
        entry.update({k: v for k, v in answer.items() if k not in ("seconds", "cpu")})
    timed = [t for t, e in entries.items() if "error" not in e and "unavailable" not in e]
    if max(warm) < SHORT:
        rounds *= 5  # short jobs are noisy: more rounds cost little
    for r in range(rounds):
        shift = r % max(len(timed), 1)
        for tool in timed[shift:] + timed[:shift]:
            answer = ask(tool)
            if "seconds" in answer:
                entries[tool]["times"].append(answer["seconds"])
                entries[tool]["cpu"].append(answer.get("cpu"))
            else:
                entries[tool].setdefault("error", answer.get("error") or answer.get("unavailable"))
    for tool, entry in entries.items():
        if entry["times"]:
            times = entry["times"]
            entry.update(median=statistics.median(times), min=min(times), max=max(times))
            cpu = [c for c in entry["cpu"] if c is not None]
            entry["cpu_median"] = statistics.median(cpu) if cpu else None
        median = f"{entry['median']:.4f} s" if "median" in entry else "-"
        why = entry.get("detail") or entry.get("error") or entry.get("unavailable", "")
        print(f"    {tool:11} {median:>10}  {state(entry)}: {why}", flush=True)
    return list(entries.values())


def install_log():
    """{tool: line} from the set-up's record of the peers' installation."""
    path = ROOT / ".venv-bench" / "peers-install.txt"
    lines = path.read_text().splitlines() if path.exists() else []
    return {line.split(":", 1)[0]: line.split(":", 1)[1].strip() for line in lines if ":" in line}



def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="one clip per workload, 2 rounds")
    parser.add_argument("--rounds", type=int,
                        help="timed rounds per job (default 5, quick 2; 0: only the checked warm-up)")
    parser.add_argument("--tools", default="avarray,PyAV,decord,torchcodec,OpenCV")
    parser.add_argument("--only", help="comma-separated workload numbers")
    parser.add_argument("--output", default=str(ROOT / "bench" / "results"),
                        help="path of the results without extension")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        return worker(args.worker)
    rounds = args.rounds if args.rounds is not None else 2 if args.quick else 5

    from peer_media import VIDEO_CLIPS, build_references, make_clips
    from peer_report import write_report

    make_clips()
    work = jobs(args.quick)
    if args.only:
        keep = {int(w) for w in args.only.split(",")}
        work = [(job, passes) for job, passes in work if job["workload"] in keep]
    for clip in VIDEO_CLIPS:
        wanted = {0}
        for job, _ in work:
            if job["clip"] == clip and job["kind"] == "frames_at" and not job.get("resized"):
                wanted.update(job["expect"])
        if any(job["clip"] == clip for job, _ in work):
            print(f"reference pictures for {clip}", flush=True)
            build_references(clip, wanted)

    tools = args.tools.split(",")
    workers = {tool: Worker(tool) for tool in tools}
    info = {tool: w.ask({"cmd": "info"}) for tool, w in workers.items()}
    installed = install_log()
    for tool, i in info.items():
        if "version" not in i and tool in installed:
            i["install"] = installed[tool]
        print(f"{tool}: {i}", flush=True)
    live = [t for t in tools if "version" in info[t]]
    has_limit = LIMIT.is_file() and os.access(LIMIT, os.X_OK)
    if not has_limit:
        print(f"no limit figures: {LIMIT} is not built", flush=True)

    results = []  # one entry per (pass, job, tool)
    started, load = time.time(), os.getloadavg()[0]
    for threads in (1, 0):
        for job, passes in work:
            if threads in passes:
                results += run_job(job, threads, live, workers, rounds)
    for w in workers.values():
        w.close()

    meta = {
        "command": " ".join(["bench/peers.py"] + sys.argv[1:]),
        "rounds": rounds,
        "machine": f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
                   f"Python {platform.python_version()}",
        "cpu": cpu_model(),
        "seconds": time.time() - started,
        "load": (load, os.getloadavg()[0]),
        "torchcodec_ffmpeg": torchcodec_ffmpeg(),
        "limit": str(LIMIT) if has_limit else None,
    }
    write_report(pathlib.Path(args.output), info, results, meta)


def cpu_model():
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine()


if __name__ == "__main__":
    main()
