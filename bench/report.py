"""Writes the comparison of the tools (workloads 1 to 7): a Markdown report with a table per
workload and a bar chart of our time divided by each peer's."""
import datetime
import pathlib

OURS = "avarray"
LIMIT = "limit"
NAMES = {LIMIT: "C++ decode + sws_scale loop (limit)", "ffmpeg": "ffmpeg command-line tool"}
BASELINES = {LIMIT, "ffmpeg"}  # beside the tools, never ranked among them


def state(entry):
    if "unavailable" in entry:
        return "not available"
    if "error" in entry:
        return "failed"
    return "ok" if entry.get("ok") else "FLAGGED"


def passed(entry):
    return state(entry) == "ok" and "median" in entry


def pass_name(threads):
    return "one decoding thread" if threads == 1 else "automatic threading"


def job_label(job):
    return f"{job['title']}, {job['clip']}"


def groups(results):
    """{(threads, job key): {tool: entry}} in the order the jobs ran."""
    out = {}
    for entry in results:
        key = (entry["threads"], job_label(entry["job"]))
        out.setdefault(key, {})[entry["tool"]] = entry
    return out


def best_peer(entries):
    peers = [e for t, e in entries.items() if t != OURS and t not in BASELINES and passed(e)]
    return min(peers, key=lambda e: e["median"]) if peers else None


def write_report(base, info, results, meta):
    base = pathlib.Path(base)
    by_job = groups(results)
    lines = [
        "# avarray against its peers",
        "",
        f"Run on {datetime.date.today().isoformat()}: {meta['cpu']} ({meta['machine']}); "
        f"`{meta['command']}` took {meta['seconds'] / 60:.1f} min. Load average (1 min) before "
        f"the run {meta['load'][0]:.2f}, after it {meta['load'][1]:.2f}: other work on the machine "
        "shows in every figure, most in the two-thread one.",
        "",
        "Every tool decodes to HWC RGB uint8 NumPy arrays (16 kHz mono float32 for audio), its own "
        "conversion included, and opens the file inside the timed work. One warm-up run per "
        "tool and job (its output is checked), then "
        f"{meta['rounds']} timed rounds (five times as many for jobs under 0.1 s), alternating "
        "between the tools; times are medians (min-max) of wall-clock seconds, with the median "
        "CPU seconds of the process beside them (more than the wall-clock time: the tool used "
        "more than one core). *ours / tool* below 1 means we are faster.",
        "",
        "A result is **FLAGGED**, and never ranked, when a frame's start time is more than half a "
        "frame from `ffprobe -show_frames`, or its picture differs from the ffmpeg tool's RGB "
        "decode of that frame by more than colour-conversion noise (mean absolute difference over "
        "3 on a 64x64 grid of block means, or over 2 on the full picture; neighbouring frames "
        "differ by about 10), or its audio is offset by more than 2 ms or differs from the ffmpeg "
        "tool's resampling in waveform or loudness.",
        "",
        "## Tools",
        "",
        "| tool | version | FFmpeg | status |",
        "|---|---|---|---|",
    ]
    for tool, i in info.items():
        status = "ok" if "version" in i else "; ".join(
            x for x in (i.get("unavailable") or i.get("error"), i.get("install")) if x)
        lines.append(f"| {tool} | {i.get('version', '-')} | {i.get('ffmpeg') or '-'} | {status} |")
    if meta.get("limit"):
        lines.append(f"| {NAMES[LIMIT]} | `{meta['limit']}` | {info.get(OURS, {}).get('ffmpeg', '-')} | ok |")
    else:
        lines.append(f"| {NAMES[LIMIT]} | - | - | not built (`build/bench/limit` missing): no limit figures |")
    lines += ["", "Each tool runs in a worker process of its own. PyAV, decord and OpenCV use the FFmpeg "
              "builds their wheels bundle; torchcodec loads the system's FFmpeg, here "
              f"{meta.get('torchcodec_ffmpeg') or 'whatever the system has'} (through "
              "LD_LIBRARY_PATH, for its worker only); ours is linked against the module's own FFmpeg build."]
    lines += ["", "## Summary: ours against the fastest peer that passed the check", "",
              "| threads | job | ours (s) | fastest passing peer | its time (s) | ours / it |",
              "|---|---|---|---|---|---|"]
    for (threads, label), entries in by_job.items():
        ours, best = entries.get(OURS), best_peer(entries)
        timed = bool(ours) and "median" in ours
        ours_text = f"{ours['median']:.4f}" if timed else state(ours) if ours else "-"
        if timed and state(ours) != "ok":
            ours_text += f" ({state(ours)})"
        best_text = f"{best['tool']} | {best['median']:.4f}" if best else "- | -"
        ratio = f"{ours['median'] / best['median']:.2f}" if best and timed else "-"
        lines.append(f"| {1 if threads == 1 else 'auto'} | {label} | {ours_text} | {best_text} | {ratio} |")
    scaling = workload7(by_job)
    if scaling:
        lines += ["", "## Two decoders on two Python threads", "",
                  "Throughput of two decoders running at once on two threads, against one "
                  "(2 x one decoder's time / the pair's time; 2.0 is perfect scaling).", "",
                  "| tool | one decoder (s) | two decoders (s) | throughput ratio |", "|---|---|---|---|"]
        lines += scaling
    for threads in (1, 0):
        workloads = {}
        for (t, label), entries in by_job.items():
            if t == threads:
                job = next(iter(entries.values()))["job"]
                workloads.setdefault((job["workload"], job["title"].split(",")[0]), []).append(entries)
        if not workloads:
            continue
        lines += ["", f"## Details, {pass_name(threads)}"]
        for (number, title), items in workloads.items():
            lines += ["", f"### {number}. {title}", "",
                      "| job | tool | version | FFmpeg | median s (min-max) | CPU s | ours / tool | check |",
                      "|---|---|---|---|---|---|---|---|"]
            for entries in items:
                ours = entries.get(OURS)
                for tool, entry in entries.items():
                    i = info.get(tool, {})
                    times = (f"{entry['median']:.4f} ({entry['min']:.4f}-{entry['max']:.4f})"
                             if "median" in entry else "-")
                    ratio = (f"{ours['median'] / entry['median']:.2f}"
                             if ours and "median" in ours and "median" in entry else "-")
                    if ratio != "-" and tool != OURS and tool not in BASELINES and not passed(entry):
                        ratio += " (not ranked)"
                    check = state(entry)
                    why = entry.get("detail") or entry.get("error") or entry.get("unavailable") or ""
                    check += f": {why}" if why else ""
                    version = i.get("version", "-") if tool != LIMIT else "-"
                    ffmpeg = i.get("ffmpeg") or "-" if tool != LIMIT else info.get(OURS, {}).get("ffmpeg", "-")
                    cpu = f"{entry['cpu_median']:.4f}" if entry.get("cpu_median") is not None else "-"
                    lines.append(f"| {job_label(entry['job'])} | {NAMES.get(tool, tool)} | {version} | "
                                 f"{ffmpeg} | {times} | {cpu} | {ratio} | {check.replace('|', '/')} |")
    base.with_suffix(".md").write_text("\n".join(lines) + "\n")
    chart(base.with_suffix(".png"), by_job)
    print(f"wrote {base.with_suffix('.md')} and {base.with_suffix('.png')}")


def workload7(by_job):
    one, two = {}, {}
    for (threads, _), entries in by_job.items():
        for tool, entry in entries.items():
            job = entry["job"]
            if job["workload"] == 7 and "median" in entry:
                (one if job.get("parallel") == 1 else two)[tool] = entry["median"]
    return [f"| {tool} | {one[tool]:.4f} | {two[tool]:.4f} | {2 * one[tool] / two[tool]:.2f} |"
            for tool in one if tool in two]


def chart(path, by_job):
    """Ours / peer for every passing peer (or, while ours has no figures, peer / fastest peer)."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    have_ours = any(OURS in e and "median" in e[OURS] for e in by_job.values())
    passes = sorted({threads for threads, _ in by_job}, reverse=True)
    fig, axes = plt.subplots(len(passes), 1, figsize=(13, 4.5 * len(passes)), squeeze=False)
    peers = sorted({t for e in by_job.values() for t in e if t != OURS and t not in BASELINES})
    colours = dict(zip(peers + [LIMIT], plt.rcParams["axes.prop_cycle"].by_key()["color"]))
    for ax, threads in zip(axes[:, 0], passes):
        keys = [k for k in by_job if k[0] == threads and by_job[k] and
                next(iter(by_job[k].values()))["job"]["workload"] != 7]
        width = 0.8 / (len(peers) + 1)
        for n, tool in enumerate(peers + [LIMIT]):
            xs, ys = [], []
            for x, key in enumerate(keys):
                entries = by_job[key]
                entry = entries.get(tool)
                if not entry or not passed(entry):
                    continue
                if have_ours:
                    ours = entries.get(OURS)
                    if not ours or "median" not in ours:
                        continue
                    ys.append(ours["median"] / entry["median"])
                else:
                    best = best_peer(entries)
                    ys.append(entry["median"] / best["median"])
                xs.append(x + (n - len(peers) / 2) * width)
            if xs:
                ax.bar(xs, ys, width, label=NAMES.get(tool, tool), color=colours[tool])
        ax.axhline(1.0, color="black", linewidth=0.8)
        ax.set_xticks(range(len(keys)))
        ax.set_xticklabels([f"{k[1].split(',')[0]}\n{k[1].split(', ')[-1]}" for k in keys],
                           fontsize=7, rotation=30, ha="right")
        ax.set_yscale("log")
        ax.yaxis.set_major_locator(matplotlib.ticker.LogLocator(subs=(1.0, 2.0, 5.0)))
        ax.yaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}"))
        ax.yaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
        ax.set_ylabel("ours / peer (below 1: we are faster)" if have_ours
                      else "peer / fastest passing peer")
        ax.set_title(f"{pass_name(threads)}" + ("" if have_ours else
                                                  " (ours not available yet: peers only)"))
        ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
