"""How soon Ctrl-C stops each long call: SIGINT 0.3 s into the call, the delay until
KeyboardInterrupt reaches Python, over several rounds, each in a child process of its
own (tests/interrupting.py, on the test clips). Also the call's uninterrupted length,
which is how late KeyboardInterrupt would come without the mechanism.

Run: .venv/bin/python bench/interrupt.py (after make media)."""
import json
import pathlib
import statistics
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent

ROUNDS = 5
KINDS = ["constructor", "read", "scan", "decode_video", "decode_timestamps", "decode_audio"]


def main():
    print(f"{'call':<20}{'latency median':>16}{'max':>8}{'call length':>14}")
    for kind in KINDS:
        latencies, lengths = [], []
        for _ in range(ROUNDS):
            with tempfile.TemporaryDirectory() as out:
                result = subprocess.run(
                    [sys.executable, str(ROOT / "tests" / "interrupting.py"), kind,
                     str(ROOT / "build" / "media"), out], capture_output=True, text=True, check=True)
            report = json.loads(result.stdout)
            latencies.append(report["latency"])
            if report["duration"] is not None:
                lengths.append(report["duration"])
        if None in latencies:
            print(f"{kind:<20}  not interrupted in {latencies.count(None)} of {ROUNDS} rounds")
            continue
        length = f"{statistics.median(lengths):.2f} s" if lengths else "-"
        print(f"{kind:<20}{statistics.median(latencies) * 1000:>13.0f} ms"
              f"{max(latencies) * 1000:>5.0f} ms{length:>14}")


if __name__ == "__main__":
    main()
