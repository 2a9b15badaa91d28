"""A worker process of the benchmark: serves one tool, one JSON request a line on stdin, one JSON
answer a line on stdout. It times each run itself and checks the output of the warm-up run.

Run by bench/harness.py as: python bench/worker.py TOOL"""
import json
import os
import resource
import sys
import threading
import time

import media
from peers import PEERS
from tools import (BASELINES, COUNTING, Figures, Ours, SelfTimed, Unavailable, Unchecked,
                   loaded_ffmpeg_version)

TOOLS = {Ours.name: Ours, **PEERS, **BASELINES}


def rusage():
    """User and system seconds of this process and of its finished children."""
    own, children = (resource.getrusage(who) for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN))
    return own.ru_utime + children.ru_utime, own.ru_stime + children.ru_stime


def worker(tool_name):
    """Serves one tool: reads one JSON request a line on stdin, answers one JSON line."""
    protocol = os.fdopen(os.dup(1), "w", buffering=1)
    os.dup2(2, 1)  # whatever the libraries print goes to stderr, never into the protocol

    adapters, references, current = {}, {}, [None]

    def adapter(threads):
        if threads not in adapters:
            adapters[threads] = TOOLS[tool_name](threads)
        return adapters[threads]

    def run(request):
        job, tool = request["job"], adapter(request["threads"])
        if current[0] != (job["title"], job["clip"]):  # decoders kept open serve one job
            current[0] = (job["title"], job["clip"])
            getattr(tool, "kept", {}).clear()
        getattr(tool, "configure", lambda: None)()
        method = getattr(tool, request["kind"], None)
        if method is None:
            raise Unavailable(f"no way to run {request['kind']}")
        path = media.clip_path(job["clip"])
        args = {k: tuple(v) if k == "size" else v for k, v in request["args"].items()}
        outs, errors = [], []

        def one():
            try:
                outs.append(method(path, **args))
            except BaseException as e:  # noqa: BLE001 - reported to the driver
                errors.append(e)
        threads = [threading.Thread(target=one) for _ in range(job.get("parallel", 1) - 1)]
        COUNTING.reset()
        (user, system), start = rusage(), time.perf_counter()
        for t in threads:
            t.start()
        one()
        for t in threads:
            t.join()
        wall, (user_end, system_end) = time.perf_counter() - start, rusage()
        if errors:
            raise errors[0]
        out = outs[0]
        timed = (out.wall, out.user, out.system) if isinstance(out, SelfTimed) else (
            wall, user_end - user, system_end - system)
        answer = dict(zip(("seconds", "user", "sys"), timed), cpu=timed[1] + timed[2])
        counts, figures = COUNTING.read(), {**getattr(tool, "figures", dict)()}
        if counts:
            answer["counts"] = counts
        if isinstance(out, Figures):
            figures.update(out)
        if figures:
            answer["figures"] = figures
        if request.get("check"):
            answer["ok"], answer["detail"] = check(job, request["kind"], args, out)
        return answer

    def check(job, kind, args, out):
        if isinstance(out, (Unchecked, Figures)):
            return True, out if isinstance(out, Unchecked) else "measured, not checked"
        if isinstance(out, SelfTimed):
            ok = out.frames == len(job["expect"])
            return ok, f"FFmpeg decode + sws_scale only: {out.frames} frames, count checked, pictures not"
        if kind == "audio":
            return media.check_audio(job["clip"], *out[:1], rate=args["rate"])
        if kind == "scan":
            expected = len(media.packets(job["clip"]))
            return len(out) == expected, f"{len(out)} packets, ffprobe lists {expected}"
        if job["clip"] not in references:
            references[job["clip"]] = media.Reference(job["clip"])
        ref = references[job["clip"]]
        expect = args.get("indices") or job.get("expect") or [ref.showing_at(t) for t in args["seconds"]]
        return ref.check_pictures(out[0], out[1], expect, job.get("resized", False),
                                  args.get("steps", ()))

    for line in sys.stdin:
        request = json.loads(line)
        try:
            if request["cmd"] == "info":
                version, ffmpeg = adapter(1).version()
                answer = {"version": version, "ffmpeg": loaded_ffmpeg_version() or ffmpeg}
            else:
                answer = run(request)
        except (Unavailable, NotImplementedError, ImportError) as e:
            answer = {"unavailable": f"{type(e).__name__}: {e}"}
        except Exception as e:  # noqa: BLE001 - a peer's failure is a result, not a crash
            answer = {"error": f"{type(e).__name__}: {e}"}
        protocol.write(json.dumps(answer) + "\n")


if __name__ == "__main__":
    worker(sys.argv[1])
