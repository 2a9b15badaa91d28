import collections
import io
import os
import threading

import numpy as np
import pytest

import _av
import reference as ref
from conftest import BFRAMES, SAMPLE, clip, corpus, media, media_bytes, open_video, rss_kib


class TestArguments:
    @pytest.mark.parametrize(
        "args, kwargs, exc, message",
        [
            (("abc", "uint8", True), {}, TypeError, "argument 'targets': Can't extract `str` to `Vec`"),
            ((5, "uint8", True), {}, TypeError,
             "argument 'targets': 'int' object cannot be converted to 'Sequence'"),
            (([[0, 0]], "uint8", True), {}, TypeError,
             "argument 'targets': 'list' object cannot be converted to 'PyTuple'"),
            (([(0, 0, 0)], "uint8", True), {}, ValueError,
             "expected tuple of length 2, but got tuple of length 3"),
            (([(0.5, 0)], "uint8", True), {}, TypeError, "argument 'targets': "),
            (([(0, 2**63)], "uint8", True), {}, OverflowError, ""),
            (([], 8, True), {}, TypeError,
             "argument 'output_dtype': 'int' object cannot be converted to 'PyString'"),
            (([], "uint8", 1), {}, TypeError,
             "argument 'exact': 'int' object cannot be converted to 'PyBool'"),
            (([], "uint8", True), {"transforms": None}, TypeError,
             "argument 'transforms': 'NoneType' object cannot be converted to 'Sequence'"),
            (([], "uint8", True), {"transforms": [("crop", 0, 0, 1)]}, ValueError,
             "expected tuple of length 5, but got tuple of length 4"),
            ((), {}, TypeError, "Decoder.decode_video() missing 3 required positional arguments: "
                                "'targets', 'output_dtype', and 'exact'"),
            (([], "uint8", True, [], 1), {}, TypeError,
             "Decoder.decode_video() takes from 3 to 4 positional arguments but 5 were given"),
            # Arguments are converted in order: the first failure wins.
            (("abc", 8, 1), {}, TypeError, "argument 'targets'"),
        ],
    )
    def test_decode_video_rejects(self, args, kwargs, exc, message):
        with pytest.raises(exc) as info:
            open_video(BFRAMES).decode_video(*args, **kwargs)
        assert type(info.value) is exc
        assert str(info.value).startswith(message)

    @pytest.mark.parametrize(
        "args, exc, message",
        [
            (("0.5", "uint8"), TypeError, "argument 'seconds': Can't extract `str` to `Vec`"),
            ((None, "uint8"), TypeError,
             "argument 'seconds': 'NoneType' object cannot be converted to 'Sequence'"),
            (([None], "uint8"), TypeError, "argument 'seconds': "),
            (([0.5], None), TypeError, "argument 'output_dtype': "),
            ((), TypeError, "Decoder.decode_timestamps() missing 2 required positional arguments: "
                            "'seconds' and 'output_dtype'"),
        ],
    )
    def test_decode_timestamps_rejects(self, args, exc, message):
        with pytest.raises(exc) as info:
            open_video(BFRAMES).decode_timestamps(*args)
        assert type(info.value) is exc
        assert str(info.value).startswith(message)

    def test_accepted_forms(self):
        Target = collections.namedtuple("Target", "pts seek_pts")
        d = open_video(BFRAMES)
        plain = d.decode_video([(512, 0)], "uint8", True)
        for targets, exact in [((Target(512, 0),), np.bool_(True)),
                               ([(np.int64(512), np.int32(0))], True)]:
            frames, starts, _ = d.decode_video(targets=targets, output_dtype="uint8", exact=exact)
            assert np.array_equal(frames, plain[0]) and starts == plain[1]


class TestRequestChecks:
    @pytest.mark.parametrize("dtype", ["UINT8", "int8", "", "uint8 ", "float64"])
    def test_unknown_output_dtype(self, dtype):
        with pytest.raises(ValueError, match="^invalid video output dtype$"):
            open_video(BFRAMES).decode_video([(0, 0)], dtype, True)

    def test_audio_stream(self):
        d = _av.Decoder(str(SAMPLE), "audio")
        with pytest.raises(RuntimeError, match="^cannot decode video from audio stream$"):
            d.decode_video([], "uint8", True)
        with pytest.raises(RuntimeError, match="^cannot decode video from audio stream$"):
            d.decode_timestamps([], "uint8")
        # The output type is examined before the stream.
        with pytest.raises(ValueError, match="invalid video output dtype"):
            d.decode_video([], "rgb", True)

    def test_closed(self):
        d = open_video(BFRAMES)
        d.close()
        for call in (lambda: d.decode_video([(0, 0)], "uint8", True),
                     lambda: d.decode_timestamps([0.0], "uint8")):
            with pytest.raises(RuntimeError, match="^decoder is closed$"):
                call()

    def test_transforms(self):
        d = open_video(BFRAMES)
        with pytest.raises(ValueError, match="^invalid transform$"):
            d.decode_video([(0, 0)], "uint8", True, [("Crop", 0, 0, 1, 1)])
        with pytest.raises(ValueError, match="^transforms require RGB output$"):
            d.decode_video([(0, 0)], "native", True, [("crop", 0, 0, 1, 1)])
        assert d.decode_video([(0, 0)], "uint8", True, [])[0].shape == (1, 120, 160, 3)

    def test_native_needs_a_packed_format(self):
        with pytest.raises(ValueError, match="^native output does not support this pixel format$"):
            open_video(BFRAMES).decode_video([(0, 0)], "native", True)

    @pytest.mark.parametrize("seconds", [[0.5, 0.5], [1.0, 0.5], [0.0, float("nan")],
                                         [float("inf")], [-0.0, 0.0], [0.1, 0.2, 0.2]])
    def test_timestamps_must_increase(self, seconds):
        with pytest.raises(RuntimeError, match="^timestamps must be finite, sorted and unique$"):
            open_video(BFRAMES).decode_timestamps(seconds, "uint8")

    @pytest.mark.parametrize("dtype, element", [("uint8", np.uint8), ("uint16", np.uint16),
                                                ("float32", np.float32)])
    def test_empty_timestamps(self, dtype, element):
        frames, starts, durations = open_video(BFRAMES).decode_timestamps([], dtype)
        assert frames.shape == (0, 120, 160, 3) and frames.dtype == element
        assert starts == [] and durations == []

    def test_usable_after_failures(self):
        d = open_video(BFRAMES)
        for bad in ([(10**9, 0)], [(513, 0)]):
            with pytest.raises(RuntimeError):
                d.decode_video(bad, "uint8", True)
        frames, _, _ = d.decode_video([(512, 0)], "uint8", True)
        assert np.array_equal(frames[0], ref.pictures(media(BFRAMES), count=2)[1])


class TestArrays:
    @pytest.mark.parametrize("dtype, element", [("uint8", np.uint8), ("uint16", np.uint16),
                                                ("float32", np.float32)])
    @pytest.mark.parametrize("count", [0, 1, 3])
    def test_layout(self, dtype, element, count):
        frames, starts, durations = open_video(BFRAMES).decode_video(
            [(512 * i, 0) for i in range(count)], dtype, True)
        item = np.dtype(element).itemsize
        assert frames.shape == (count, 120, 160, 3) and frames.dtype == element
        assert frames.flags["C_CONTIGUOUS"] and frames.flags["WRITEABLE"]
        if count:
            assert frames.strides == (120 * 160 * 3 * item, 160 * 3 * item, 3 * item, item)
        assert type(frames.base).__name__ == "PySliceContainer"
        assert len(starts) == len(durations) == count

    def test_container_cannot_be_made(self):
        frames, _, _ = open_video(BFRAMES).decode_video([(0, 0)], "uint8", True)
        with pytest.raises(TypeError, match="No constructor defined for PySliceContainer"):
            type(frames.base)()

    def test_sample_types_agree(self):
        d = open_video(BFRAMES)
        targets = ref.targets(media(BFRAMES), count=6)
        wide, _, _ = d.decode_video(targets, "uint16", True)
        unit, _, _ = d.decode_video(targets, "float32", True)
        assert np.array_equal(unit, wide.astype(np.float32) / np.float32(65535))
        assert unit.max() <= 1.0 and unit.min() >= 0.0

    # AddressSanitizer keeps freed blocks in quarantine, so resident memory says nothing
    # about leaks there; the regular build runs this.
    @pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                        reason="freed memory stays resident under AddressSanitizer")
    def test_arrays_are_freed(self):
        d = open_video(BFRAMES)
        targets = ref.targets(media(BFRAMES))

        for _ in range(3):
            d.decode_video(targets, "float32", True)
        before = rss_kib()
        for _ in range(30):  # 30 x 11.5 MB of float32 pictures
            frames = d.decode_video(targets, "float32", True)[0]
            del frames
        assert rss_kib() - before < 40 * 2**10


# (clip, nth video stream, frames compared); every frame unless a count is given.
REFERENCE_CLIPS = [
    (BFRAMES, 0, None),             # H.264, 3 B-frames, several key frames
    (str(SAMPLE), 0, None),         # the sample clip
    ("intra_mjpeg.avi", 0, None),   # all-intra, full range
    ("vp9.webm", 0, None),
    ("vfr.mkv", 0, None),           # variable frame rate
    ("range_full.mp4", 0, None),    # tagged full range, BT.709
    ("range_limited.mp4", 0, None),  # tagged limited range, BT.709
    ("odd_ffv1.mkv", 0, None),      # 161x121
    ("bottom_up_bgr24.avi", 0, None),  # decoded with a negative line size
    ("multi.mkv", 1, None),         # the second video stream of four
    ("h264_10bit.mp4", 0, None),
    ("native_gray.nut", 0, None),   # gray and 16-bit gray sources through RGB
    ("native_gray16be.mov", 0, None),
    ("bpyramid.mp4", 0, None),      # H.264 B-pyramid: most B-frames are no reference
    ("hevc_bframes.mp4", 0, None),  # x265 defaults: B-frames, open groups of pictures
    ("h264_unstated_reorder.mkv", 0, None),  # reorder depth learned from the pictures
    ("many/theora.ogv", 0, None),   # repeated frames: empty packets on FFmpeg 8 and later
]
CORPUS_CLIPS = [
    ("corpus/vp9_odd_dimensions_161x121.webm", 0, None),
    ("corpus/prores422_proxy.mov", 0, 8),
    ("corpus/phone_pixel7_h264_rot180_fullrange.mp4", 0, 3),  # 1080p, full range, rotated
    ("corpus/h264_bpyramid_sar64x45.mp4", 0, 20),
    ("corpus/iphone_hevc10_hlg_dovi_rotm90.mov", 0, None),  # a discard-flagged reference packet
    ("corpus/mpeg4part2_mp3.avi", 0, 20),
    ("corpus/png_rgba.mov", 0, 5),
]


class TestAgainstCommandLine:
    """Pictures equal, sample for sample, what ffmpeg gives for the same frames."""

    @pytest.mark.parametrize("name, nth, count", REFERENCE_CLIPS + CORPUS_CLIPS)
    def test_uint8(self, name, nth, count):
        path = clip(name)
        expected = ref.pictures(path, "rgb24", nth, count)
        targets = ref.targets(path, nth, count)
        d = _av.Decoder(path, "video", stream_index=ref.stream_index(path, nth))
        frames, starts, durations = d.decode_video(targets, "uint8", True)
        assert frames.shape == expected.shape
        assert np.array_equal(frames, expected)
        probed = ref.video_frames(path, nth)[:count]
        assert starts == [ref.seconds(path, pts, nth) for pts, _ in probed]
        assert durations == [ref.seconds(path, duration, nth) for _, duration in probed]

    @pytest.mark.parametrize("name", [BFRAMES, "h264_10bit.mp4", "bottom_up_bgr24.avi"])
    def test_uint16(self, name):
        path = media(name)
        frames, _, _ = _av.Decoder(path, "video").decode_video(ref.targets(path), "uint16", True)
        assert np.array_equal(frames, ref.pictures(path, "rgb48le"))

    def test_all_targets_from_one_seek_point(self):
        # One forward sweep over several key frames gives the same pictures.
        path = media(BFRAMES)
        frames, _, _ = _av.Decoder(path, "video").decode_video(
            [(pts, 0) for pts, _ in ref.video_frames(path)], "uint8", True)
        assert np.array_equal(frames, ref.pictures(path))


class TestUnreferencedFrames:
    """Frames before the target that no other frame refers to are not decoded, and a
    request decodes on instead of seeking when that passes through what the seek would
    decode: the answers stay those of ffmpeg, whatever the frame asked for."""

    CLIPS = ["bpyramid.mp4", "hevc_bframes.mp4", "bframes.ts", "h264_unstated_reorder.mkv",
             "corpus/h264_bpyramid_sar64x45.mp4", "corpus/dvb_multiprogram_mpeg2_hevc.ts"]

    @pytest.mark.parametrize("name", CLIPS)
    @pytest.mark.parametrize("threads", [1, 0])
    def test_each_frame_its_own_seek_point(self, name, threads):
        path = clip(name)
        # The capture's last frame is cut short, and decodes differently from ffmpeg's
        # whatever the seek points.
        count = 22 if "dvb_" in name else None
        frames = ref.video_frames(path)[:count]
        d = _av.Decoder(path, "video", stream_index=ref.stream_index(path), threads=threads)
        got, starts, _ = d.decode_video([(pts, pts) for pts, _ in frames], "uint8", True)
        assert np.array_equal(got, ref.pictures(path, count=count))
        assert starts == [ref.seconds(path, pts) for pts, _ in frames]

    @pytest.mark.parametrize("name", CLIPS[:4])
    def test_each_frame_alone(self, name):
        # Every frame, non-reference ones included, as the only target: exactly, and not
        # exact from just after the frame before it.
        path = media(name)
        expected = ref.pictures(path)
        d = _av.Decoder(path, "video")
        previous = None
        for i, (pts, seek) in enumerate(ref.targets(path)):
            got, starts, _ = d.decode_video([(pts, seek)], "uint8", True)
            assert np.array_equal(got[0], expected[i]) and starts == [ref.seconds(path, pts)]
            if previous is not None:
                got, _, _ = d.decode_video([(previous + 1, seek)], "uint8", False)
                assert np.array_equal(got[0], expected[i])
            previous = pts


class TestNative:
    @pytest.mark.parametrize("name, pix_fmt, element, channels", [
        ("native_rgb24.nut", "rgb24", np.uint8, 3),
        ("native_gray.nut", "gray", np.uint8, 1),
        ("native_gray16le.nut", "gray16le", np.uint16, 1),
        ("native_gray12le.nut", "gray12le", np.uint16, 1),
    ])
    def test_raw_samples(self, name, pix_fmt, element, channels):
        path = media(name)
        frames, _, _ = _av.Decoder(path, "video").decode_video(ref.targets(path), "native", True)
        assert frames.dtype == element and frames.shape == (5, 17, 33, channels)
        # The file's own samples, copied out of its packets.
        assert np.array_equal(frames, ref.pictures(path, pix_fmt, copy=True))
        if pix_fmt == "gray12le":
            assert frames.max() < 4096

    @pytest.mark.parametrize("name, pix_fmt", [("native_gray16be.mov", "gray16be"),
                                               ("native_rgba.mov", "rgba")])
    def test_png_samples(self, name, pix_fmt):
        path = media(name)
        frames, _, _ = _av.Decoder(path, "video").decode_video(ref.targets(path), "native", True)
        expected = ref.pictures(path, pix_fmt)
        assert frames.dtype == expected.dtype.newbyteorder("=")
        assert np.array_equal(frames, expected)

    def test_gray16be_reads_big_endian(self):
        path = media("native_gray16be.mov")
        frames, _, _ = _av.Decoder(path, "video").decode_video([(0, 0)], "native", True)
        stored = ref.pictures(path, "gray16be", count=1).tobytes()
        assert frames[0, 0, 0, 0] == stored[0] * 256 + stored[1]
        assert frames[0, 0, 0, 0] != stored[1] * 256 + stored[0]


class TestSelection:
    """bframes.mp4 has frames at 0, 512, ... 25088 and key frames at 0, 6144, 12288, ..."""

    @staticmethod
    def reference_picture(pts):
        index = [p for p, _ in ref.video_frames(media(BFRAMES))].index(pts)
        return ref.pictures(media(BFRAMES), count=index + 1)[index]

    def test_caller_order_kept(self):
        targets = ref.targets(media(BFRAMES))
        order = [7, 30, 2, 48, 2, 0, 13, 25, 24]
        frames, starts, _ = open_video(BFRAMES).decode_video(
            [targets[i] for i in order], "uint8", True)
        expected = ref.pictures(media(BFRAMES))
        for position, i in enumerate(order):
            assert np.array_equal(frames[position], expected[i])
            assert starts[position] == targets[i][0] / 12800

    def test_repeated_target_gets_its_own_copy(self):
        frames, starts, durations = open_video(BFRAMES).decode_video(
            [(1536, 0), (512, 0), (1536, 0)], "uint8", True)
        assert np.array_equal(frames[0], frames[2]) and starts[0] == starts[2] == 0.12
        assert durations[0] == durations[2] == 0.04
        frames[0] ^= 0xFF
        assert np.array_equal(frames[2], self.reference_picture(1536))

    @pytest.mark.parametrize("exact", [True, False])
    def test_seek_point_after_the_frame(self, exact):
        # The seek to the key frame at 12288 lands after 1536: a pass from the start
        # finds it, exact or not (not exact, the frame at 12288 is not the first at or
        # after 1536). A repeated pts is decoded once, with the first seek point given.
        frames, starts, _ = open_video(BFRAMES).decode_video(
            [(1536, 12288), (7168, 18432), (1536, 0)], "uint8", exact)
        assert starts == [0.12, 0.56, 0.12]
        assert np.array_equal(frames[0], self.reference_picture(1536))
        assert np.array_equal(frames[1], self.reference_picture(7168))
        assert np.array_equal(frames[2], frames[0])

    def test_not_exact_takes_next_frame(self):
        frames, starts, _ = open_video(BFRAMES).decode_video([(513, 0)], "uint8", False)
        assert starts == [0.08]
        assert np.array_equal(frames[0], self.reference_picture(1024))

    @pytest.mark.parametrize("targets, expected", [
        ([(513, 0), (700, 0)], [1024, 1024]),
        ([(700, 0), (513, 0), (1100, 0)], [1024, 1024, 1536]),
        ([(100, 0), (400, 0), (512, 0)], [512, 512, 512]),
    ])
    def test_targets_between_the_same_frames(self, targets, expected):
        # Each target gets the first frame at or after it, as it would alone.
        d = open_video(BFRAMES)
        frames, starts, _ = d.decode_video(targets, "uint8", False)
        assert starts == [pts / 12800 for pts in expected]
        for position, pts in enumerate(expected):
            assert np.array_equal(frames[position], self.reference_picture(pts))
            alone, _, _ = d.decode_video([targets[position]], "uint8", False)
            assert np.array_equal(alone[0], frames[position])

    def test_seek_points_going_backwards(self):
        targets = [(12800, 12288), (13312, 0), (13824, 6144)]
        frames, _, _ = open_video(BFRAMES).decode_video(targets, "uint8", True)
        for position, (pts, _) in enumerate(targets):
            assert np.array_equal(frames[position], self.reference_picture(pts))

    @pytest.mark.parametrize("target, exact, message", [
        ((513, 0), True, "no decoded frame at exact PTS 513"),
        ((-5, 0), True, "no decoded frame at exact PTS -5"),
        ((25600, 24576), True, "no decoded frame at PTS 25600"),
        ((25089, 24576), False, "no decoded frame at PTS 25089"),
        ((10**12, 0), False, "no decoded frame at PTS 1000000000000"),
    ])
    def test_missing_frames(self, target, exact, message):
        with pytest.raises(RuntimeError) as info:
            open_video(BFRAMES).decode_video([(0, 0), target], "uint8", exact)
        assert str(info.value) == message

    def test_negative_target_not_exact(self):
        _, starts, _ = open_video(BFRAMES).decode_video([(-5, 0)], "uint8", False)
        assert starts == [0.0]


class TestTransportStream:
    """MPEG-TS seeks by decoding time: a seek to a key frame's pts lands after that key
    frame when B-frames delay it, and the decoder shows nothing until the next one."""

    @pytest.mark.parametrize("exact", [True, False])
    def test_key_frame_seek_points(self, exact):
        path = media("bframes.ts")
        frames, starts, _ = _av.Decoder(path, "video").decode_video(ref.targets(path), "uint8", exact)
        assert np.array_equal(frames, ref.pictures(path))
        assert starts == [ref.seconds(path, pts) for pts, _ in ref.video_frames(path)]

    @pytest.mark.parametrize("exact", [True, False])
    def test_last_group_of_pictures(self, exact):
        # No key frame follows the last one: the first pass reaches the end of the stream.
        path = media("bframes.ts")
        last = ref.targets(path)[-5:]
        d = _av.Decoder(path, "video")
        for target in last:
            _, starts, _ = d.decode_video([target], "uint8", exact)
            assert starts == [ref.seconds(path, target[0])]


class TestBadInput:
    def test_frame_size_changes(self):
        path = media("size_change.ts")
        frames = ref.video_frames(path)
        first = [t for t in ref.targets(path) if t[0] < frames[25][0]]
        d = _av.Decoder(path, "video")
        assert d.decode_video(first, "uint8", True)[0].shape == (len(first), 120, 160, 3)
        with pytest.raises(RuntimeError, match="^dynamic frame dimensions are unsupported$"):
            d.decode_video(ref.targets(path), "uint8", True)
        assert d.decode_video(first[:1], "uint8", True)[0].shape == (1, 120, 160, 3)

    def test_corrupt_packet(self):
        path = media("corrupt.mp4")
        targets = ref.targets(path)
        frames, _, _ = _av.Decoder(path, "video").decode_video(targets, "uint8", True)
        assert frames.shape == (len(targets), 120, 160, 3)
        # The damage is in the second half: the first group of pictures is untouched.
        assert np.array_equal(frames[:12], ref.pictures(path, count=12))

    def test_truncated_data(self):
        path = media("truncated_data.mp4")
        frames = ref.video_frames(path)
        d = _av.Decoder(path, "video")
        result, _, _ = d.decode_video(ref.targets(path), "uint8", True)
        assert np.array_equal(result, ref.pictures(path))
        with pytest.raises(RuntimeError, match="^no decoded frame at PTS"):
            d.decode_video([(frames[-1][0] + 512, 0)], "uint8", False)

    def test_undecodable_stream(self):
        d = _av.Decoder(corpus("vp9_invalid_bitstream.webm"), "video")
        with pytest.raises(RuntimeError):
            d.decode_video([(0, 0)], "uint8", True)


class TestConcurrency:
    def test_busy_decoder_refuses_at_once(self):
        release = threading.Event()
        reading = threading.Event()

        class Blocking(io.BytesIO):
            block = False

            def wait(self):
                if self.block:
                    reading.set()
                    release.wait(10)

            def read(self, size=-1):
                self.wait()
                return super().read(size)

            def seek(self, offset, whence=0):
                self.wait()
                return super().seek(offset, whence)

        source = Blocking(media_bytes(BFRAMES))
        d = _av.Decoder(source, "video")
        source.block = True
        results = []
        worker = threading.Thread(
            # The last frame lies beyond what the open left in FFmpeg's read buffer.
            target=lambda: results.append(d.decode_video([(25088, 24576)], "uint8", True)))
        worker.start()
        try:
            assert reading.wait(10)
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                d.decode_video([(0, 0)], "uint8", True)
            with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                d.metadata()
        finally:
            release.set()
            worker.join()
        assert results[0][0].shape == (1, 120, 160, 3)

    def test_parallel_decoders(self):
        path = media(BFRAMES)
        targets = ref.targets(path)
        results = [None] * 4

        def work(i):
            results[i] = _av.Decoder(path, "video").decode_video(targets, "uint8", True)[0]

        threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        expected = ref.pictures(path)
        assert all(np.array_equal(r, expected) for r in results)
