"""The benchmark harness: the module against the peers a user would pick instead (PyAV, decord,
torchcodec, OpenCV) and against baselines (the C++ decode + sws_scale limit, the ffmpeg and
ffprobe tools) on the same work, with every tool's output checked against ffprobe and the ffmpeg
tool; and what the module's own requests cost in seeks, decoded frames, allocations and memory.

Run: make bench (workloads 1 to 7), make bench-video (workload 8), or
     .venv-bench/bin/python bench/harness.py [--quick] [--rounds N] [--tools a,b] [--only 3,scan]
         [--match TEXT] [--threads 1|auto]

Workloads 1 to 7 compare the tools and write bench/results.md and bench/results.png. Asked for
by number or name, a workload also runs its jobs for ours alone: 6 (audio) the peak memory of
decode_audio; 8 (video) decode_video of every frame against the limit, its peak memory, and
"float32" against "uint16"; 9 (scan) scan() against ffprobe; 10 (timestamps) the seeks and decoded
frames of decode_timestamps beside the fewest possible, and dense sampling against decode_video;
11 (transforms) what crop, rotate and resize steps cost, and what a repeated request allocates.

Each tool runs in a worker process of its own (its FFmpeg libraries never meet another's; only
torchcodec's gets LD_LIBRARY_PATH, for the reference tools' FFmpeg; jobs that count calls get a
worker of ours with bench/counting.c preloaded). The driver hands the workers one run at a time,
alternating between the entries of a job, and times nothing itself: each worker times its own
run. The first run of each job is a warm-up whose output is checked; the rest are timed."""
import argparse
import json
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))

SHORT = 0.1  # seconds: jobs this short get five times the rounds

from jobs import NAMES, counts_summary, jobs  # noqa: E402
from report import OURS, OURS_BASE  # noqa: E402


def torchcodec_ffmpeg():
    """The FFmpeg build with libavfilter (the reference tools') that torchcodec loads, if any."""
    tools = os.environ.get("AVARRAY_REFERENCE_TOOLS")
    return os.path.dirname(tools) if tools else None


class Worker:
    """A tool's worker process; restarted if it dies."""

    def __init__(self, tool, counting=False):
        from tools import COUNTING_LIBRARY
        self.tool, self.proc = tool, None
        self.env = dict(os.environ)
        if tool == "torchcodec" and torchcodec_ffmpeg():
            self.env["LD_LIBRARY_PATH"] = f"{torchcodec_ffmpeg()}/lib:" + self.env.get("LD_LIBRARY_PATH", "")
        if counting:
            self.env["LD_PRELOAD"] = str(COUNTING_LIBRARY)
        if tool == OURS_BASE:
            self.env["PYTHONPATH"] = os.environ["AVARRAY_BASE"]

    def ask(self, request):
        if self.proc is None or self.proc.poll() is not None:
            self.proc = subprocess.Popen([sys.executable, str(ROOT / "bench" / "worker.py"), self.tool],
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


def pictures(job):
    """Whether the job returns pictures, which are checked against the ffmpeg tool's."""
    kinds = {kind or job["kind"] for _, kind, _ in job.get("variants", {}).values()} or {job["kind"]}
    return bool(kinds & {"first_frame", "first_n", "frames_at", "played_at"})


def entries_of(job, threads, tools):
    """[(label, tool, kind, arguments)] that a job alternates between."""
    if "variants" in job:
        return [(label, tool, kind or job["kind"], args if kind else {**job["args"], **args})
                for label, (tool, kind, args) in job["variants"].items()]
    names = tools + (job.get("baselines", []) if threads == 1 else [])
    return [(tool, tool, job["kind"], {**job["args"], **job.get("ours_args", {})}
             if tool in (OURS, OURS_BASE) else job["args"]) for tool in names]


def run_job(job, threads, tools, workers, rounds):
    """One warm-up run per entry (its output checked), then `rounds` timed rounds (five times as
    many for short jobs), each entry once a round, the starting entry moving by one each round.
    Returns one result per entry."""
    from report import state
    print(f"[{'1 thread' if threads == 1 else 'auto threads'}] {job['workload']}. {job['title']} "
          f"({job['clip']})", flush=True)
    entries, sent = {}, {k: v for k, v in job.items() if k in ("title", "clip", "expect", "resized",
                                                                  "parallel")}
    for label, tool, kind, args in entries_of(job, threads, tools):
        if args.get("keep"):  # each entry keeps its own decoder
            args = {**args, "keep": label}
        key = (tool, bool(job.get("count")) and tool == "avarray")
        worker = Worker(*key) if job.get("fresh") else workers.setdefault(key, Worker(*key))
        request = {"cmd": "run", "job": sent, "threads": threads, "kind": kind, "args": args}
        entries[label] = {"tool": label, "threads": threads, "job": job, "times": [], "cpu": [],
                          "user": [], "sys": [], "worker": worker, "request": request}

    def ask(entry, check=False):
        answer = entry["worker"].ask({**entry["request"], "check": check})
        if job.get("fresh"):
            entry["worker"].close()
        return answer

    warm = []
    for entry in entries.values():
        answer = ask(entry, check=True)
        warm.append(answer.get("seconds", 0.0))
        entry.update({k: v for k, v in answer.items() if k not in ("seconds", "cpu", "user", "sys")})
    timed = [e for e in entries.values() if "error" not in e and "unavailable" not in e]
    if warm and max(warm) < SHORT:
        rounds *= 5  # short jobs are noisy: more rounds cost little
    for r in range(rounds):
        shift = r % max(len(timed), 1)
        for entry in timed[shift:] + timed[:shift]:
            answer = ask(entry)
            if "seconds" in answer:
                for key, name in (("times", "seconds"), ("cpu", "cpu"), ("user", "user"), ("sys", "sys")):
                    entry[key].append(answer[name])
                entry["repeat_counts"] = answer.get("counts")
            else:
                entry.setdefault("error", answer.get("error") or answer.get("unavailable"))
    for tool in (OURS, OURS_BASE):
        ours = entries.get(tool)
        if job.get("count_once") and ours and "error" not in ours and "unavailable" not in ours:
            # One more run of ours, untimed, with the counting library: seeks and decoded frames.
            counting = workers.setdefault((tool, True), Worker(tool, True))
            ours["counts"] = counting.ask({**ours["request"], "check": False}).get("counts")
    for entry in entries.values():
        del entry["worker"], entry["request"]
        if entry["times"]:
            times = entry["times"]
            entry.update(median=statistics.median(times), min=min(times), max=max(times))
            entry["cpu_median"] = statistics.median(entry["cpu"])
        show(entry, state(entry))
    results = list(entries.values())
    (job.get("summary") or counts_summary)(job, results)
    return results


def show(entry, state):
    why = entry.get("detail") or entry.get("error") or entry.get("unavailable", "")
    if "median" not in entry:
        print(f"    {entry['tool']:34} {state}: {why}", flush=True)
        return
    medians = "  ".join(f"{key} {statistics.median(entry[key]) * 1000:7.1f}" for key in ("times", "user", "sys"))
    walls = ", ".join(f"{t * 1000:.0f}" for t in entry["times"][:9])
    print(f"    {entry['tool']:34} median ms: {medians.replace('times', 'wall')}   (wall: {walls})"
          f"  {state}: {why}", flush=True)


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
    parser.add_argument("--tools", default="avarray,PyAV,decord,torchcodec,OpenCV",
                        help=f"the tools to run; {OURS_BASE} is the build of ours that the "
                        "directory AVARRAY_BASE holds (for before-and-after figures)")
    parser.add_argument("--only", help="comma-separated workload numbers or names (" +
                        ", ".join(f"{k} {v}" for k, v in NAMES.items()) + ")")
    parser.add_argument("--match", help="only the jobs whose title and clip contain this text "
                        "(e.g. 'random frames (hevc' or 'by second')")
    parser.add_argument("--threads", choices=("1", "auto"), help="only this pass (default: both)")
    parser.add_argument("--output", help="path of the report without extension (default, when "
                        "every workload from 1 to 7 runs: bench/results)")
    args = parser.parse_args()
    rounds = args.rounds if args.rounds is not None else 2 if args.quick else None

    import media  # noqa: F401 - fails early without NumPy
    from report import write_report
    from tools import COUNTING_LIBRARY, LIMIT

    workloads = {int(NAMES.get(w, w)) for w in args.only.split(",")} if args.only else None
    work = [(job, passes) for job, passes in jobs(args.quick, workloads)
            if not args.match or args.match in f"{job['title']} ({job['clip']})"]
    for clip in sorted({job["clip"] for job, _ in work if pictures(job)}):
        wanted = {0}
        for job, _ in work:
            if job["clip"] == clip and job["kind"] == "frames_at" and not job.get("resized"):
                # Jobs of ours are compared on a few full pictures, the tools' on all asked for.
                expect = job.get("expect") or job["args"].get("indices", [])
                wanted.update(expect[:3] if "variants" in job else expect)
        print(f"reference pictures for {clip}", flush=True)
        media.build_references(clip, wanted)

    tools = args.tools.split(",")
    workers = {}
    info = {tool: workers.setdefault((tool, False), Worker(tool)).ask({"cmd": "info"}) for tool in tools}
    installed = install_log()
    for tool, i in info.items():
        if "version" not in i and tool in installed:
            i["install"] = installed[tool]
        print(f"{tool}: {i}", flush=True)
    live = [t for t in tools if "version" in info[t]]
    has_limit = LIMIT.is_file() and os.access(LIMIT, os.X_OK)
    if not has_limit:
        print(f"no limit figures: {LIMIT} is not built", flush=True)
    if any(job.get("count") for job, _ in work) and not COUNTING_LIBRARY.is_file():
        print(f"no counts: {COUNTING_LIBRARY} is not built", flush=True)

    results = []  # one entry per (pass, job, entry)
    started, load = time.time(), os.getloadavg()[0]
    for threads in {None: (1, 0), "1": (1,), "auto": (0,)}[args.threads]:
        for job, passes in work:
            if threads in passes:
                job_rounds = job.get("rounds", 5) if rounds is None or job.get("rounds") == 0 else rounds
                results += run_job(job, threads, live, workers, job_rounds)
    for w in workers.values():
        w.close()

    compared = [e for e in results if e["job"]["workload"] <= 7 and not e["job"].get("extra")]
    for tool in {e["tool"] for e in compared} - set(info) - {"limit"}:  # the baselines
        info[tool] = Worker(tool).ask({"cmd": "info"})
    output = args.output or (None if args.only else str(ROOT / "bench" / "results"))
    if not compared or not output:
        return
    meta = {
        "command": " ".join(["bench/harness.py"] + sys.argv[1:]),
        "rounds": 5 if rounds is None else rounds,
        "machine": f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
                   f"Python {platform.python_version()}",
        "cpu": cpu_model(),
        "seconds": time.time() - started,
        "load": (load, os.getloadavg()[0]),
        "torchcodec_ffmpeg": torchcodec_ffmpeg(),
        "limit": str(LIMIT) if has_limit else None,
    }
    write_report(pathlib.Path(output), info, compared, meta)


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
