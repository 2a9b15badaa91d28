"""Ctrl-C during a long call: KeyboardInterrupt arrives part-way, nothing is returned,
and the decoder's next answer is right. Each case runs in a child process of its own
(tests/interrupting.py). The bound on the delay only proves the mechanism on a shared
machine (the call stops well before it would have ended); bench/interrupt.py measures it.
"""
import json
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import reference as ref
from conftest import MEDIA, media
from interrupting import FRAME, SIGNAL_AFTER

HERE = pathlib.Path(__file__).resolve().parent


def run(kind, tmp_path):
    result = subprocess.run([sys.executable, str(HERE / "interrupting.py"), kind, str(MEDIA),
                             str(tmp_path)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def check_delay(out):
    assert out["latency"] is not None, "the call ran to its end: the signal never stopped it"
    if out["duration"] is None:
        return  # the signal lands inside the file-like object's read
    left = out["duration"] - SIGNAL_AFTER
    if left < 0.3:
        pytest.skip(f"the call takes {out['duration']:.2f} s here, too short to tell")
    # Without the mechanism KeyboardInterrupt comes when the call ends, `left` later.
    assert out["latency"] < min(1.0, left / 2), out


@pytest.mark.parametrize("kind", ["constructor", "read"])
def test_file_like_read(kind, tmp_path):
    # KeyboardInterrupt raised inside read() is the caller's: it used to be swallowed
    # and reported as a damaged file ("scan packets: Input/output error").
    out = run(kind, tmp_path)
    check_delay(out)
    assert [tuple(p) for p in out["next"]] == ref.packets(media("bframes.mp4"), 0)


def test_scan(tmp_path):
    out = run("scan", tmp_path)
    check_delay(out)
    assert out["next"] == ref.packet_count(media("many_packets.mkv"))


@pytest.mark.parametrize("kind", ["decode_video", "decode_timestamps"])
def test_video(kind, tmp_path):
    out = run(kind, tmp_path)
    check_delay(out)
    path = media("long_720p.mp4")
    assert out["next"] == ref.seconds(path, ref.video_frames(path)[FRAME][0])
    expected = ref.pictures(path, count=FRAME + 1)[FRAME]
    np.testing.assert_array_equal(np.load(tmp_path / "picture.npy"), expected)


def test_decode_audio(tmp_path):
    out = run("decode_audio", tmp_path)
    check_delay(out)
    expected = ref.cli(media("long_aac.m4a"), 16000, 1, seconds=3)[:, :32000]
    ref.assert_close(np.load(tmp_path / "samples.npy")[:, :32000], expected)
