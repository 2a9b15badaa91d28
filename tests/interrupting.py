"""One long call, interrupted: runs in a child process of its own (`python
interrupting.py KIND MEDIA OUT`), times the call once uninterrupted, runs it again with
SIGINT sent SIGNAL_AFTER seconds in, then asks the same decoder (or source) for a short
answer that the caller checks against the ffmpeg tools. Prints one JSON object:
{"duration": seconds or null, "latency": seconds from the signal to KeyboardInterrupt
or null if the call returned, "next": ...}; arrays go to OUT as .npy files.
Used by tests/test_interrupt.py and bench/interrupt.py."""
import bisect
import io
import json
import os
import pathlib
import signal
import sys
import threading
import time

import numpy as np

import _av

SIGNAL_AFTER = 0.3
FRAME = 30  # the frame asked for after the interrupt (1.20 s at 25 frames per second)


class Slow(io.BytesIO):
    """A file-like source whose reads take `delay` seconds and give at most 512 bytes."""
    delay = 0.0

    def read(self, size=-1):
        if self.delay:
            time.sleep(self.delay)
            size = 512 if size < 0 else min(size, 512)
        return super().read(size)


def interrupted(call):
    """Seconds from SIGINT to KeyboardInterrupt, or None if the call returned first."""
    sent = []

    def fire():
        time.sleep(SIGNAL_AFTER)
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Thread(target=fire)
    timer.start()
    returned = False
    try:
        try:
            call()
            returned = True
        finally:
            timer.join()  # a call that returned first gets the signal here
    except KeyboardInterrupt:
        caught = time.monotonic()
        return None if returned else caught - sent[0]
    return None


def timed(call):
    start = time.monotonic()
    call()
    return time.monotonic() - start


def targets(decoder, count):
    """The first `count` frames, each with the key frame at or before it as seek point."""
    packets = decoder.scan()[:count]
    keys = [pts for pts, _, key in packets if key]
    return [(pts, keys[bisect.bisect_right(keys, pts) - 1]) for pts, _, _ in packets]


def run(kind, media, out):
    if kind in ("constructor", "read"):
        source = Slow((media / "bframes.mp4").read_bytes())
        if kind == "read":
            d = _av.Decoder(source, "video")
            source.delay = 0.1
            latency = interrupted(d.scan)
        else:
            source.delay = 0.1
            latency = interrupted(lambda: _av.Decoder(source, "video"))
        source.delay = 0.0
        if kind == "constructor":
            d = _av.Decoder(source, "video")
        return {"duration": None, "latency": latency, "next": d.scan()}
    if kind == "scan":
        d = _av.Decoder(str(media / "many_packets.mkv"), "video")
        call = d.scan
        after = lambda: len(d.scan())  # noqa: E731
    elif kind == "decode_audio":
        d = _av.Decoder(str(media / "long_aac.m4a"), "audio")
        call = lambda: d.decode_audio(8000, 1)  # noqa: E731
        after = lambda: np.save(out / "samples.npy", d.decode_audio(16000, 1, 2.0)[0])  # noqa: E731
    else:
        d = _av.Decoder(str(media / "long_720p.mp4"), "video")
        small = [("resize", 0, 0, 64, 64)]  # every frame, without gigabytes of output
        if kind == "decode_video":
            wanted = targets(d, 500)
            call = lambda: d.decode_video(wanted, "uint8", True, small)  # noqa: E731
            ask = lambda: d.decode_video([wanted[FRAME]], "uint8", True)  # noqa: E731
        else:
            seconds = [0.02 + 0.04 * i for i in range(500)]
            call = lambda: d.decode_timestamps(seconds, "uint8", small)  # noqa: E731
            ask = lambda: d.decode_timestamps([0.04 * FRAME + 0.02], "uint8")  # noqa: E731

        def after():
            frames, starts, _ = ask()
            np.save(out / "picture.npy", frames[0])
            return starts[0]
    duration = timed(call)
    return {"duration": duration, "latency": interrupted(call), "next": after()}


if __name__ == "__main__":
    # A process started in the background by a shell inherits SIGINT ignored, and Python
    # then leaves it so: give it the handler that raises KeyboardInterrupt.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    kind, media, out = sys.argv[1], pathlib.Path(sys.argv[2]), pathlib.Path(sys.argv[3])
    print(json.dumps(run(kind, media, out)))
