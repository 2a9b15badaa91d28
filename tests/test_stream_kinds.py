"""Streams whose container loses timestamps after a seek, seeks by decoding time, or has
no timestamps at all: MPEG program and transport streams, VOB, elementary streams, and
MPEG-4 Part 2 with B-frames in AVI. The truth is ffmpeg's decode from the start: its
pictures, and its timestamps (the decoder's, or the tool's own where packets have none)."""
import bisect

import numpy as np
import pytest

import _av
import reference as ref
from conftest import clip

# Made by make-test-media.sh, 160x120, 2 s at 25 fps unless said.
CLIPS = [
    "mpeg2_bframes.mpg",     # MPEG-PS: most packets undated, open groups of pictures
    "mpeg1_bframes.mpg",
    "mpeg2_bframes.vob",
    "mpeg2_no_bframes.mpg",  # 1 s, no B-frames
    "mpeg2_bframes.ts",      # MPEG-TS seeks by decoding time
    "hevc_keyint12.ts",      # a seek past the key frame decodes pictures without references
    "hevc_keyint12.mpg",     # HEVC in MPEG-PS: packets with neither pts nor dts
    "mpeg4_bframes.ts",
    "mpeg4_bframes.mpg",
    "mpeg4_bframes.avi",     # decoding times only; the last frame comes out undated
    "mpeg2_bframes.m2v",     # elementary streams: no timestamp seek at all
    "mpeg4_bframes.m4v",
    "h264_bframes.h264",
    "hevc.hevc",
]
# The capture's last frames are cut short; its MPEG-2 (interlaced) and HEVC programs.
CORPUS_TS = [("corpus/dvb_multiprogram_mpeg2_hevc.ts", 0, 22), ("corpus/dvb_multiprogram_mpeg2_hevc.ts", 3, 20)]


def scanned(d):
    """The scan's timestamps and key frames, each ascending."""
    records = d.scan()
    return [pts for pts, _, _ in records], [pts for pts, _, key in records if key]


def key_before(keys, pts):
    return keys[max(bisect.bisect_right(keys, pts) - 1, 0)]


def open_clip(name, nth=0, **kwargs):
    path = clip(name)
    return path, _av.Decoder(path, "video", stream_index=ref.stream_index(path, nth), **kwargs)


def expected(path, nth, count):
    frames = ref.decoded_frames(path, nth)[:count]
    return ([ref.seconds(path, pts, nth) for pts, _ in frames],
            [ref.seconds(path, duration, nth) for _, duration in frames],
            ref.pictures(path, nth=nth, count=count))


class TestScan:
    @pytest.mark.parametrize("name", CLIPS)
    def test_lists_the_frames_a_decode_from_the_start_gives(self, name):
        path, d = open_clip(name)
        pts, keys = scanned(d)
        assert pts == [ts for ts, _ in ref.decoded_frames(path)]
        assert len(keys) == ref.key_packet_count(path)
        assert d.scan() == d.scan()


class TestFrameRequests:
    """Every frame, with the key frame that the scan lists before it as seek point."""

    @pytest.mark.parametrize("name", CLIPS)
    @pytest.mark.parametrize("threads", [1, 0])
    def test_each_frame_on_a_fresh_decoder(self, name, threads):
        path, d = open_clip(name, threads=threads)
        pts, keys = scanned(d)
        starts, durations, pictures = expected(path, 0, None)
        for i, p in enumerate(pts):
            got, s, du = open_clip(name, threads=threads)[1].decode_video(
                [(p, key_before(keys, p))], "uint8", True)
            assert np.array_equal(got[0], pictures[i]), p
            assert (s, du) == ([starts[i]], [durations[i]]), p

    @pytest.mark.parametrize("name, nth, count",
                             [(name, 0, None) for name in CLIPS] + CORPUS_TS)
    @pytest.mark.parametrize("seek", ["own key frame", "first frame"])
    def test_one_request(self, name, nth, count, seek):
        path, d = open_clip(name, nth)
        _, keys = scanned(d)
        # The frames the tool decodes: the capture's packets before its first key frame
        # give none.
        pts = [p for p, _ in ref.decoded_frames(path, nth)][:count]
        targets = [(p, key_before(keys, p) if seek == "own key frame" else pts[0]) for p in pts]
        got, starts, durations = d.decode_video(targets, "uint8", True)
        exp_starts, exp_durations, pictures = expected(path, nth, count)
        assert starts == exp_starts and durations == exp_durations
        assert np.array_equal(got, pictures)

    @pytest.mark.parametrize("name", ["hevc_keyint12.ts", "hevc_keyint12.mpg",
                                      "mpeg4_bframes.ts", "mpeg4_bframes.mpg"])
    def test_key_frame_pts_as_seek_point_in_descending_order(self, name):
        # Each target seeks back, one key frame before the last: the frames decoded
        # after a seek never come from packets before the key frame it landed on.
        path, d = open_clip(name)
        pts, keys = scanned(d)
        _, _, pictures = expected(path, 0, None)
        for i in reversed(range(len(pts))):
            got, _, _ = d.decode_video([(pts[i], key_before(keys, pts[i]))], "uint8", True)
            assert np.array_equal(got[0], pictures[i]), pts[i]

    def test_not_exact_between_frames(self):
        path, d = open_clip("mpeg2_bframes.mpg")
        pts, keys = scanned(d)
        _, _, pictures = expected(path, 0, None)
        got, _, _ = d.decode_video([(p + 1, key_before(keys, p)) for p in pts[:-1]],
                                   "uint8", False)
        assert np.array_equal(got, pictures[1:])


class TestTimestampRequests:
    @pytest.mark.parametrize("name", CLIPS)
    def test_frames_showing(self, name):
        # Each frame's start, and midway to the next.
        path, d = open_clip(name)
        starts, _, pictures = expected(path, 0, None)
        seconds = sorted(starts + [(a + b) / 2 for a, b in zip(starts, starts[1:])])
        got, s, _ = d.decode_timestamps(seconds, "uint8")
        shown = [bisect.bisect_right(starts, t) - 1 for t in seconds]
        assert s == [starts[i] for i in shown]
        assert np.array_equal(got, pictures[shown])

    @pytest.mark.parametrize("name", ["hevc_keyint10.mp4", "hevc_keyint12.ts", "hevc.hevc",
                                      "mpeg2_bframes.mpg", "mpeg4_bframes.avi",
                                      "h264_bframes.h264", "bframes.mp4", "vp9.webm"])
    @pytest.mark.parametrize("threads", [1, 0])
    def test_every_request_kind_after_every_other(self, name, threads):
        # The same Decoder answers frame, timestamp and scan requests in any order as
        # a fresh one would.
        path, d = open_clip(name, threads=threads)
        starts, _, pictures = expected(path, 0, None)
        pts, keys = scanned(d)

        def frames():
            got, _, _ = d.decode_video([(pts[7], key_before(keys, pts[7])), (pts[0], pts[0])],
                                       "uint8", True)
            assert np.array_equal(got, pictures[[7, 0]])

        def timestamps():
            got, s, _ = d.decode_timestamps([starts[0], starts[9]], "uint8")
            assert s == [starts[0], starts[9]] and np.array_equal(got, pictures[[0, 9]])

        def scan():
            assert scanned(d) == (pts, keys)

        for first, second in [(frames, timestamps), (timestamps, frames), (scan, timestamps),
                              (timestamps, scan), (frames, frames), (timestamps, timestamps)]:
            first()
            second()

    def test_first_frame_after_a_frame_request_on_hevc(self):
        # The frame request's flush makes the HEVC decoder drop the first key frame's
        # leading pictures unless timestamp mode starts over with a fresh one.
        path, d = open_clip("hevc_keyint10.mp4")
        pts, keys = scanned(d)
        d.decode_video([(pts[15], key_before(keys, pts[15]))], "uint8", True)
        got, starts, _ = d.decode_timestamps([0.0], "uint8")
        assert starts == [ref.seconds(path, ref.decoded_frames(path)[0][0])]
        assert np.array_equal(got, ref.pictures(path, count=1))
