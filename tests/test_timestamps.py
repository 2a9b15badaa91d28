"""decode_timestamps: the frame showing at each second, checked against the frame list of
ffprobe and the pictures of the ffmpeg command-line tool."""
import bisect
import io
import math

import numpy as np
import pytest

import _av
import reference as ref
from conftest import SAMPLE, clip, corpus, media, media_bytes, open_video
from doubles import SeekRaisesWhenArmed

BEFORE = "no frame at or before requested timestamp"
AFTER = "timestamp exceeds final frame duration or duration is unknown"
NOT_INCREASING = "timestamp mode requires strictly increasing frame PTS"


class Probed:
    """The decoded frames of a stream as ffprobe lists them: timestamps, start seconds,
    durations, and the frame showing at a given second."""

    def __init__(self, path, nth=0):
        self.path, self.nth = path, nth
        frames = ref.video_frames(path, nth)
        self.pts = [pts for pts, _ in frames]
        self.starts = [ref.seconds(path, pts, nth) for pts in self.pts]
        self.durations = [ref.seconds(path, duration, nth) for _, duration in frames]
        assert self.starts == sorted(set(self.starts)), "the clip's frames must start in order"
        self.end = ref.seconds(path, frames[-1][0] + frames[-1][1], nth)

    def showing(self, t):
        """Index of the last frame starting at or before t; None before the first frame
        or at or after the end of the last."""
        i = bisect.bisect_right(self.starts, t) - 1
        if i < 0 or (i == len(self.starts) - 1 and t >= self.end):
            return None
        return i

    def decoder(self, source=None):
        return _av.Decoder(source or self.path, "video",
                           stream_index=ref.stream_index(self.path, self.nth))

    def check(self, d, seconds, dtype="uint8", transforms=()):
        """Asks `d` for `seconds`; returns the pictures after checking the timings."""
        indices = [self.showing(t) for t in seconds]
        assert None not in indices
        frames, starts, durations = d.decode_timestamps(seconds, dtype, transforms=list(transforms))
        assert starts == [self.starts[i] for i in indices]
        assert durations == [self.durations[i] for i in indices]
        # The same frames asked for by timestamp, from the key frame before each.
        targets = [(self.pts[i], ref.seek_point(self.path, self.pts[i], self.nth)) for i in indices]
        by_pts, _, _ = self.decoder().decode_video(targets, dtype, True,
                                                   transforms=list(transforms))
        assert np.array_equal(frames, by_pts)
        return frames, indices


def failure(d, seconds):
    with pytest.raises(RuntimeError) as info:
        d.decode_timestamps(seconds, "uint8")
    return str(info.value)


# (clip, nth video stream)
CLIPS = [
    ("bframes.mp4", 0),          # H.264, 3 B-frames, key frames every 12 frames
    ("bframes.ts", 0),           # the same in MPEG-TS, which seeks by decoding time
    ("vfr.mkv", 0),              # variable frame rate: gaps of three frames
    ("vp9.webm", 0),
    ("intra_mjpeg.avi", 0),      # time base 1/25
    ("multi.mkv", 1),            # the second video stream of four
    ("late_start_ms.mkv", 0),    # first frame at 0.7 s, time base 1/1000
    ("late_start_30k.mp4", 0),   # first frame at 0.7 s, time base 1/30000
    ("late_start_90k.ts", 0),    # first frame at 1.9 s, time base 1/90000
    (str(SAMPLE), 0),
    ("bpyramid.mp4", 0),         # H.264 B-pyramid: most B-frames are no reference
    ("hevc_bframes.mp4", 0),     # x265 defaults: B-frames, open groups of pictures
    ("h264_unstated_reorder.mkv", 0),  # reorder depth learned from the pictures
]
CORPUS_CLIPS = [
    ("corpus/h264_bpyramid_sar64x45.mp4", 0),       # B-pyramid, time base 1/30
    ("corpus/vp9_odd_dimensions_161x121.webm", 0),
]


class TestAgainstProbe:
    @pytest.mark.parametrize("name, nth", CLIPS + CORPUS_CLIPS)
    def test_uniform_seconds(self, name, nth):
        # From the first frame's start to just before the last frame's end: seconds at a
        # frame's start, between frames and inside the final frame.
        p = Probed(clip(name), nth)
        seconds = [float(t) for t in np.linspace(p.starts[0], p.end, 37, endpoint=False)]
        seconds.append(math.nextafter(p.end, -math.inf))
        p.check(p.decoder(), seconds)

    @pytest.mark.parametrize("name, nth", CLIPS)
    @pytest.mark.parametrize("stride", [1, 3])
    def test_at_and_just_before_every_start(self, name, nth, stride):
        # Each frame's own start, and the largest second before it (answered by the
        # previous frame), in one request; the pictures are ffmpeg's. With a stride,
        # the frames in between are never the answer.
        p = Probed(clip(name), nth)
        seconds = [p.starts[0]]
        for start in p.starts[1::stride]:
            seconds += [math.nextafter(start, -math.inf), start]
        frames, indices = p.check(p.decoder(), seconds)
        assert np.array_equal(frames, ref.pictures(p.path, nth=nth)[indices])

    @pytest.mark.parametrize("name", ["bframes.mp4", "bpyramid.mp4", "bframes.ts",
                                      "many/mpeg2_bframes.ts"])
    @pytest.mark.parametrize("threads", [1, 0])
    def test_one_second_per_key_frame_interval(self, name, threads):
        # Each second in a key-frame interval of its own, so that the next one seeks and
        # the decoder is drained after the lookahead; over the requests, every frame of
        # an interval is the answer once, with B-frames sent after the frames they show
        # before and frame threads holding several frames back.
        p = Probed(clip(name))
        keys = ref.key_points(p.path)
        groups = [[i for i, pts in enumerate(p.pts) if ref.seek_point(p.path, pts) == key]
                  for key in keys]
        groups = [g for g in groups if g]
        d = _av.Decoder(p.path, "video", threads=threads)
        expected = ref.pictures(p.path)
        for phase in range(max(map(len, groups))):
            frames = [g[phase % len(g)] for g in groups]
            seconds = [p.starts[i] + p.durations[i] / 4 for i in frames]
            pictures, indices = p.check(d, seconds)
            assert indices == frames
            assert np.array_equal(pictures, expected[indices])

    def test_uint16(self):
        p = Probed(media("bframes.mp4"))
        seconds = [0.0, 0.3, 0.33, 1.0, 1.99]
        frames, indices = p.check(p.decoder(), seconds, "uint16")
        assert np.array_equal(frames, ref.pictures(p.path, "rgb48le")[indices])

    def test_seconds_within_one_frame(self):
        # Answered by one frame: no decoding between them, each position its own copy.
        p = Probed(media("bframes.mp4"))
        seconds = [0.48, 0.49, 0.5, 0.51, 0.519]
        frames, indices = p.check(p.decoder(), seconds)
        assert set(indices) == {12}
        frames[0] ^= 0xFF
        expected = ref.pictures(p.path, count=13)[12]
        assert all(np.array_equal(frames[i], expected) for i in range(1, 5))

    def test_gap_after_a_frame_ends(self):
        # In vfr.mkv a frame's duration ends well before the next frame starts: only the
        # final frame's duration limits an answer.
        p = Probed(media("vfr.mkv"))
        gaps = [i for i in range(len(p.starts) - 1)
                if p.starts[i] + p.durations[i] < p.starts[i + 1]]
        assert gaps
        seconds = [p.starts[i] + p.durations[i] for i in gaps]
        _, indices = p.check(p.decoder(), seconds)
        assert indices == gaps


class TestRounding:
    """A second equal to a frame's start is answered by that frame even where dividing it
    by the time base rounds below the frame's timestamp (0.7 / 0.001 < 700)."""

    @staticmethod
    def rounding_below(p):
        num, den = ref.time_base(p.path)
        return [i for i, (pts, start) in enumerate(zip(p.pts, p.starts))
                if math.floor(start / (num / den)) < pts]

    @pytest.mark.parametrize("name", ["late_start_ms.mkv", "late_start_30k.mp4",
                                      "late_start_90k.ts", "bframes.mp4"])
    def test_each_such_frame_alone(self, name):
        p = Probed(media(name))
        below = self.rounding_below(p)
        assert len(below) >= 2
        d = p.decoder()
        for i in below:
            frames, indices = p.check(d, [p.starts[i]])
            assert indices == [i]
            assert np.array_equal(frames[0], ref.pictures(p.path, count=i + 1)[i])

    @pytest.mark.parametrize("name", ["late_start_ms.mkv", "late_start_30k.mp4",
                                      "late_start_90k.ts"])
    def test_first_frame(self, name):
        p = Probed(media(name))
        assert 0 in self.rounding_below(p)
        d = p.decoder()
        assert failure(d, [math.nextafter(p.starts[0], -math.inf)]) == BEFORE
        _, starts, _ = d.decode_timestamps([p.starts[0]], "uint8")
        assert starts == [p.starts[0]]

    @pytest.mark.parametrize("seconds", [[0.7], [0.3, 0.7]])
    def test_key_frame_rounding_below(self, seconds):
        # pts_backwards.mkv is all key frames; the frame at 700 follows one at 450 that
        # starts before its predecessor at 500. Seeking to the frame at 0.7 s lands on
        # it; landing one timestamp short would mean the key frame at 500 and decoding
        # into the decrease.
        path = media("pts_backwards.mkv")
        frames, starts, _ = _av.Decoder(path, "video").decode_timestamps(seconds, "uint8")
        assert starts == seconds
        assert np.array_equal(frames[-1], ref.pictures(path, count=8)[7])


class TestEdges:
    @pytest.mark.parametrize("name", ["bframes.mp4", "late_start_ms.mkv", "bframes.ts"])
    def test_before_the_first_frame(self, name):
        p = Probed(media(name))
        d = p.decoder()
        for t in [-1e300, -1e9, -0.5, 0.0, p.starts[0] - 0.01]:  # -1e300: saturated
            if t < p.starts[0]:
                assert failure(d, [t, p.starts[0]]) == BEFORE
        p.check(d, [p.starts[0], p.starts[1]])

    @pytest.mark.parametrize("name", ["bframes.mp4", "vfr.mkv", "late_start_90k.ts"])
    def test_after_the_final_frame(self, name):
        p = Probed(media(name))
        d = p.decoder()
        inside = math.nextafter(p.end, -math.inf)
        p.check(d, [p.starts[-1], inside])
        for later in [p.end, p.end + 0.001, 1e12, 1e300]:
            assert failure(d, [p.starts[0], inside, later]) == AFTER
            assert failure(d, [later]) == AFTER
        p.check(d, [inside])

    def test_last_frame_after_decoding_forward(self):
        # Reaching the end while decoding forward, then more seconds in the final frame.
        p = Probed(media("bframes.mp4"))
        p.check(p.decoder(), [p.starts[-3], p.starts[-1] + 0.001, p.starts[-1] + 0.02,
                              math.nextafter(p.end, -math.inf)])


class TestFrameOrder:
    """The seventh frame of these clips starts at 450 or 500 after a frame at 500."""

    @pytest.mark.parametrize("name", ["pts_backwards.mkv", "pts_repeated.mkv"])
    def test_decrease_met_while_decoding_forward(self, name):
        d = open_video(name)
        assert failure(d, [0.55]) == NOT_INCREASING
        assert failure(d, [0.1, 0.45, 0.6]) == NOT_INCREASING
        # Seconds answered before the decrease is met are fine.
        _, starts, _ = d.decode_timestamps([0.1, 0.45], "uint8")
        assert starts == [0.1, 0.4]


class TestTransforms:
    @pytest.mark.parametrize("transforms, shape", [
        ([("crop", 10, 20, 64, 96)], (64, 96)),
        ([("resize", 0, 0, 50, 70), ("rotate", 1, 0, 0, 0)], (70, 50)),
        ([("rotate", 3, 0, 0, 0), ("crop", 0, 0, 100, 80), ("resize", 0, 0, 33, 17)], (33, 17)),
    ])
    def test_same_as_decode_video(self, transforms, shape):
        p = Probed(media("bframes.mp4"))
        frames, _ = p.check(p.decoder(), [0.0, 0.3, 0.7, 1.5], transforms=transforms)
        assert frames.shape == (4, *shape, 3)

    def test_float32(self):
        p = Probed(media("vfr.mkv"))
        transforms = [("crop", 8, 8, 40, 60)]
        frames, _ = p.check(p.decoder(), [0.1, 0.9], "float32", transforms)
        assert frames.dtype == np.float32 and frames.shape == (2, 40, 60, 3)

    def test_bad_transform_then_usable(self):
        d = open_video("bframes.mp4")
        with pytest.raises(ValueError, match="^crop exceeds the frame$"):
            d.decode_timestamps([0.5], "uint8", [("crop", 0, 0, 121, 160)])
        _, starts, _ = d.decode_timestamps([0.5], "uint8", [("crop", 0, 0, 120, 160)])
        assert starts == [0.48]


class TestSources:
    @pytest.mark.parametrize("name", ["bframes.mp4", "vfr.mkv", "bframes.ts"])
    @pytest.mark.parametrize("wrap", [bytes, io.BytesIO])
    def test_bytes_and_file_like(self, name, wrap):
        p = Probed(media(name))
        seconds = [float(t) for t in np.linspace(p.starts[0], p.end, 11, endpoint=False)]
        p.check(p.decoder(wrap(media_bytes(name))), seconds)

    def test_seeks_refused(self):
        # Matroska seeks through the file-like object (unless the target is still in
        # the read buffer). A refused seek only makes the back-off try further back; at
        # the stream start it gives up with "no frame at or before", never a seek error.
        p = Probed(media("vp9.webm"))
        source = SeekRaisesWhenArmed(media_bytes("vp9.webm"))
        d = p.decoder(source)
        p.check(d, [0.5])
        source.armed = True
        failed = 0
        for seconds in ([0.0], [0.5, 1.0], [1.9], [1.0], [0.2], [1.5]):
            try:
                p.check(d, seconds)
            except RuntimeError as e:
                assert str(e) == BEFORE
                failed += 1
        assert failed >= 3 and source.refused >= failed
        source.armed = False
        p.check(d, [0.0, 0.5, 1.9])


class TestUsableAfterFailures:
    def test_one_decoder_through_every_failure(self):
        p = Probed(media("bframes.mp4"))
        d = p.decoder()
        attempts = [
            ([-0.1], BEFORE),
            ([0.5, 2.0], AFTER),
            ([0.5, 0.5], "timestamps must be finite, sorted and unique"),
            ([0.1, math.nan], "timestamps must be finite, sorted and unique"),
        ]
        for seconds, message in attempts:
            assert failure(d, seconds) == message
            p.check(d, [0.2, 1.0, 1.99])
        # And decode_video after a failed timestamp request.
        assert failure(d, [3.0]) == AFTER
        frames, _, _ = d.decode_video([(512, 0)], "uint8", True)
        assert np.array_equal(frames[0], ref.pictures(p.path, count=2)[1])

    def test_after_a_decrease(self):
        d = open_video("pts_backwards.mkv")
        assert failure(d, [0.2, 0.6]) == NOT_INCREASING
        frames, _, _ = d.decode_timestamps([0.0, 0.3], "uint8")
        assert np.array_equal(frames, ref.pictures(media("pts_backwards.mkv"), count=4)[[0, 3]])
