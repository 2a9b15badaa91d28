"""Crop, resize and rotate steps of decode_video and decode_timestamps.

Expected pictures are ffmpeg's own (reference.pictures) with the steps done one by one
on separate copies: numpy slices for crops, numpy.rot90 for rotations and ffmpeg's
`scale` filter with bilinear flags for resizes (reference.scaled). Resizes agree with
that filter exactly: both run the same libswscale's bilinear RGB-to-RGB path (the tool is
of the version the module links; odd widths shrunk by 2x or more take colour per pixel
pair in 7.1 and per pixel from 8 on, and the reference follows), so equality is demanded."""
import functools

import numpy as np
import pytest

import _av
import reference as ref
from conftest import BFRAMES, SAMPLE, corpus, media, media_bytes, open_video
from doubles import Recording

ODD = "odd_ffv1.mkv"  # 161x121: odd widths reach the scaler
COUNT = 5
REQUESTS = {
    "decode_video": lambda d, steps, dtype="uint8": d.decode_video(
        [(0, 0)], dtype, True, transforms=steps),
    "decode_timestamps": lambda d, steps, dtype="uint8": d.decode_timestamps(
        [0.0], dtype, transforms=steps),
}


@functools.lru_cache(maxsize=None)
def reference_pictures(name, pix_fmt="rgb24"):
    return ref.pictures(media(name), pix_fmt, count=COUNT)


def decode(name, steps, dtype="uint8", decoder=None):
    d = decoder or open_video(name)
    return d.decode_video(ref.targets(media(name), count=COUNT), dtype, True, steps)[0]


def expected(name, steps, dtype="uint8"):
    """The steps applied one by one, each to a copy of the previous result."""
    out = reference_pictures(name, "rgb24" if dtype == "uint8" else "rgb48le")
    for step, a, b, c, d in steps:
        if step == "crop":
            out = out[:, a:a + c, b:b + d].copy()
        elif step == "rotate":
            out = np.rot90(out, a % 4, axes=(1, 2)).copy()
        else:
            out = ref.scaled(out, c, d)
    return out.astype(np.float32) / np.float32(65535) if dtype == "float32" else out


def crop(top, left, height, width):
    return ("crop", top, left, height, width)


def resize(height, width):
    return ("resize", 0, 0, height, width)


def rotate(turns):
    return ("rotate", turns, 0, 0, 0)


class TestArguments:
    @pytest.mark.parametrize("method", REQUESTS)
    @pytest.mark.parametrize(
        "steps, exc, message",
        [
            ("crop", TypeError, "argument 'transforms': Can't extract `str` to `Vec`"),
            (None, TypeError, "argument 'transforms': 'NoneType' object cannot be converted to 'Sequence'"),
            (5, TypeError, "argument 'transforms': 'int' object cannot be converted to 'Sequence'"),
            ((s for s in [rotate(1)]), TypeError,
             "argument 'transforms': 'generator' object cannot be converted to 'Sequence'"),
            ([["crop", 0, 0, 1, 1]], TypeError,
             "argument 'transforms': 'list' object cannot be converted to 'PyTuple'"),
            ([rotate(1), "rotate"], TypeError,
             "argument 'transforms': 'str' object cannot be converted to 'PyTuple'"),
            ([("crop", 0, 0, 1)], ValueError, "expected tuple of length 5, but got tuple of length 4"),
            ([("crop", 0, 0, 1, 1, 1)], ValueError, "expected tuple of length 5, but got tuple of length 6"),
            ([(b"crop", 0, 0, 1, 1)], TypeError,
             "argument 'transforms': 'bytes' object cannot be converted to 'PyString'"),
            ([(None, 0, 0, 1, 1)], TypeError, "argument 'transforms': 'NoneType' object"),
            ([("crop", 0.0, 0, 1, 1)], TypeError, "argument 'transforms': 'float' object"),
            ([("crop", 0, 0, "1", 1)], TypeError, "argument 'transforms': 'str' object"),
            ([("crop", 0, 0, 1, None)], TypeError, "argument 'transforms': 'NoneType' object"),
            ([resize(2**31, 1)], OverflowError, "number too large to fit in target type"),
            ([resize(1, -2**31 - 1)], OverflowError, "number too small to fit in target type"),
            ([resize(2**70, 1)], OverflowError, "number too large to fit in target type"),
            ([("rotate", -2**64, 0, 0, 0)], OverflowError, "number too small to fit in target type"),
            # Converted before anything else is looked at, even an invalid name.
            ([("flip", 2**31, 0, 0, 0)], OverflowError, "number too large to fit in target type"),
        ],
    )
    def test_rejected(self, method, steps, exc, message):
        with pytest.raises(exc) as info:
            REQUESTS[method](open_video(BFRAMES), steps)
        assert type(info.value) is exc
        assert str(info.value).startswith(message)
        if exc is not TypeError:
            assert str(info.value) == message

    @pytest.mark.parametrize("method", REQUESTS)
    @pytest.mark.parametrize("name", ["Crop", "CROP", "Rotate", "resize ", "scale", "", "crop\0"])
    def test_invalid_name(self, method, name):
        with pytest.raises(ValueError, match="^invalid transform$"):
            REQUESTS[method](open_video(BFRAMES), [rotate(1), (name, 0, 0, 1, 1)])

    def test_accepted_forms(self):
        class Index:
            def __index__(self):
                return 3

        d = open_video(BFRAMES)
        plain = REQUESTS["decode_video"](d, [crop(1, 2, 3, 4)])[0]
        for steps in [(crop(1, 2, 3, 4),), [("crop", np.int64(1), np.int32(2), Index(), 4)]]:
            assert np.array_equal(REQUESTS["decode_video"](d, steps)[0], plain)
        # A missing argument is an empty list.
        targets = ref.targets(media(BFRAMES), count=2)
        assert np.array_equal(d.decode_video(targets, "uint8", True)[0],
                              d.decode_video(targets, "uint8", True, [])[0])
        assert np.array_equal(d.decode_timestamps([0.0], "uint8")[0],
                              d.decode_timestamps([0.0], "uint8", [])[0])

    def test_32_bit_limits(self):
        # The integers a resize ignores may take any 32-bit value; turns are the low two
        # bits of a's two's complement.
        d = open_video(BFRAMES)
        shape = REQUESTS["decode_video"](d, [("resize", 2**31 - 1, -2**31, 2, 3)])[0].shape
        assert shape == (1, 2, 3, 3)
        assert REQUESTS["decode_video"](d, [rotate(2**31 - 1)])[0].shape == (1, 160, 120, 3)
        assert REQUESTS["decode_video"](d, [rotate(-2**31)])[0].shape == (1, 120, 160, 3)


class TestValidation:
    """Checked against the stream's size before anything is read or allocated."""

    @pytest.mark.parametrize("steps", [
        [crop(1, 0, 120, 160)], [crop(0, 1, 120, 160)], [crop(0, 0, 121, 1)],
        [crop(0, 0, 1, 161)], [crop(0, 0, 0, 160)], [crop(0, 0, 120, 0)],
        [crop(-1, 0, 1, 1)], [crop(0, -1, 1, 1)], [crop(0, 0, -1, 1)], [crop(0, 0, 1, -1)],
        [crop(2**31 - 1, 0, 2**31 - 1, 1)], [crop(1, 0, 2**31 - 1, 1)], [crop(0, 1, 1, 2**31 - 1)],
        # After a quarter turn the picture is 120 wide and 160 tall.
        [rotate(1), crop(0, 0, 120, 160)], [rotate(-1), crop(0, 0, 1, 121)],
        [rotate(2), crop(0, 0, 160, 120)],
        [resize(10, 20), crop(0, 0, 10, 21)], [resize(10, 20), crop(10, 0, 1, 1)],
        [crop(0, 0, 20, 10), rotate(1), crop(0, 0, 20, 10)],
    ])
    def test_crop_outside(self, steps):
        with pytest.raises(ValueError, match="^crop exceeds the frame$"):
            decode(BFRAMES, steps)

    @pytest.mark.parametrize("height, width", [(0, 10), (10, 0), (-1, 10), (10, -2**31), (0, 0)])
    def test_resize_not_positive(self, height, width):
        with pytest.raises(ValueError, match="^resize size must be positive$"):
            decode(BFRAMES, [rotate(1), resize(height, width)])

    @pytest.mark.parametrize("steps, shape", [
        ([], (120, 160)), ([crop(0, 0, 120, 160)], (120, 160)), ([rotate(1)], (160, 120)),
        ([rotate(3), crop(0, 0, 160, 120)], (160, 120)), ([rotate(1), crop(159, 119, 1, 1)], (1, 1)),
        ([("resize", 99, 99, 2, 3)], (2, 3)), ([resize(7, 5), rotate(1)], (5, 7)),
        ([resize(300, 400), crop(100, 0, 200, 400), resize(9, 9), rotate(1), crop(0, 0, 9, 1)], (9, 1)),
    ])
    def test_output_size(self, steps, shape):
        frames = decode(BFRAMES, steps)
        assert frames.shape == (COUNT, *shape, 3)
        assert frames.flags["C_CONTIGUOUS"]

    def test_nothing_read_before_the_check(self):
        source = Recording(media_bytes(BFRAMES))
        d = _av.Decoder(source, "video")
        source.calls.clear()
        for call in (lambda: d.decode_video([(0, 0)], "uint8", True, [crop(0, 0, 0, 1)]),
                     lambda: d.decode_timestamps([0.0], "uint8", [resize(0, 1)])):
            with pytest.raises(ValueError):
                call()
        assert source.calls == []

    def test_checked_before_the_batch(self):
        # The resize alone passes the check and then makes too large a batch.
        d = open_video(BFRAMES)
        with pytest.raises(ValueError, match="^crop exceeds the frame$"):
            d.decode_video([(0, 0)] * 4, "uint8", True, [resize(2**31 - 1, 2**31 - 1), crop(0, 0, 0, 1)])

    def test_order_of_checks(self):
        d = open_video(BFRAMES)
        bad = [crop(0, 0, 0, 0)]
        with pytest.raises(ValueError, match="^invalid transform$"):
            d.decode_video([(0, 0)], "native", True, [("Crop", 0, 0, 0, 0)])
        with pytest.raises(ValueError, match="^invalid transform$"):
            d.decode_video([(0, 0)], "UINT8", True, [("Crop", 0, 0, 0, 0)])
        with pytest.raises(ValueError, match="^invalid video output dtype$"):
            d.decode_video([(0, 0)], "UINT8", True, bad)
        with pytest.raises(ValueError, match="^transforms require RGB output$"):
            d.decode_video([(0, 0)], "native", True, bad)
        with pytest.raises(ValueError, match="^transforms require RGB output$"):
            d.decode_timestamps([0.0], "native", [rotate(0)])
        with pytest.raises(RuntimeError, match="^timestamps must be finite, sorted and unique$"):
            d.decode_timestamps([1.0, 0.0], "uint8", bad)
        with pytest.raises(RuntimeError, match="^cannot decode video from audio stream$"):
            _av.Decoder(str(SAMPLE), "audio").decode_video([(0, 0)], "uint8", True, bad)
        # The decoder is still usable.
        assert np.array_equal(decode(BFRAMES, [rotate(1)], decoder=d),
                              expected(BFRAMES, [rotate(1)]))


class TestRotateAndCrop:
    @pytest.mark.parametrize("turns", [0, 1, 2, 3, 4, 5, 6, 7, -1, -2, -3, -4, -5, 2**31 - 1, -2**31])
    @pytest.mark.parametrize("name", [BFRAMES, ODD])
    def test_rotate(self, name, turns):
        frames = decode(name, [rotate(turns)])
        assert np.array_equal(frames, np.rot90(reference_pictures(name), turns % 4, axes=(1, 2)))

    def test_pixel_mapping(self):
        # A 2-row, 3-column picture a b c / d e f.
        pic = reference_pictures(BFRAMES)[:, 40:42, 60:63]
        a, b, c, d, e, f = (pic[:, 0, 0], pic[:, 0, 1], pic[:, 0, 2],
                            pic[:, 1, 0], pic[:, 1, 1], pic[:, 1, 2])
        got = {t: decode(BFRAMES, [crop(40, 60, 2, 3), rotate(t)]) for t in (1, 2, 3)}

        def picture(rows):  # rows of (N, 3) pixels as (N, rows, columns, 3)
            return np.moveaxis(np.array(rows), 2, 0)

        assert np.array_equal(got[1], picture([[c, f], [b, e], [a, d]]))
        assert np.array_equal(got[2], picture([[f, e, d], [c, b, a]]))
        assert np.array_equal(got[3], picture([[d, a], [e, b], [f, c]]))

    @pytest.mark.parametrize("name", [BFRAMES, ODD])
    @pytest.mark.parametrize("box", [(0, 0, 120, 160), (0, 0, 1, 1), (119, 159, 1, 1),
                                     (7, 3, 33, 17), (1, 2, 118, 157), (60, 0, 60, 160)])
    def test_crop(self, name, box):
        assert np.array_equal(decode(name, [crop(*box)]), expected(name, [crop(*box)]))

    @pytest.mark.parametrize("steps", [
        [rotate(1), rotate(1)],
        [rotate(1), crop(10, 5, 100, 90), rotate(1)],
        [rotate(3), crop(1, 0, 159, 119), rotate(2), crop(0, 1, 150, 100), rotate(-1)],
        [rotate(1), rotate(1), rotate(1), rotate(1), rotate(1)],
        [crop(3, 4, 50, 71), rotate(1), crop(0, 0, 71, 50), rotate(3)],
        [rotate(0), crop(20, 30, 40, 50), rotate(0)],
        [rotate(1), crop(0, 0, 1, 120), rotate(1), crop(0, 0, 1, 1), rotate(1)],
    ])
    @pytest.mark.parametrize("dtype", ["uint8", "uint16", "float32"])
    def test_chains(self, steps, dtype):
        assert np.array_equal(decode(BFRAMES, steps, dtype), expected(BFRAMES, steps, dtype))

    def test_two_quarter_turns_are_a_half_turn(self):
        d = open_video(ODD)
        assert np.array_equal(decode(ODD, [rotate(1), rotate(1)], decoder=d),
                              decode(ODD, [rotate(2)], decoder=d))

    @pytest.mark.parametrize("name, count", [
        ("rotated90.mp4", None),                               # display matrix 90
        ("phone_pixel7_h264_rot180_fullrange.mp4", 2),         # 1080p, display matrix 180
    ])
    def test_display_matrix_only_on_request(self, name, count):
        path = media(name) if name.endswith("90.mp4") else corpus(name)
        d = _av.Decoder(path, "video")
        targets = ref.targets(path, count=count)
        stored = ref.pictures(path, count=count)
        assert np.array_equal(d.decode_video(targets, "uint8", True)[0], stored)
        # Quarter turns as the matrix says give what ffmpeg shows.
        degrees = ref.rotation(path, ref.stream_index(path))
        turns = round(degrees / 90)
        assert turns != 0 and d.metadata()["rotation"] == degrees
        shown = d.decode_video(targets, "uint8", True, [rotate(turns)])[0]
        assert np.array_equal(shown, ref.pictures(path, count=count, autorotate=True))


class TestResize:
    @pytest.mark.parametrize("name, dtype", [(BFRAMES, "uint8"), (BFRAMES, "uint16"),
                                             ("h264_10bit.mp4", "uint16")])
    @pytest.mark.parametrize("size", [(224, 224), (61, 83), (1, 1), (2, 3), (300, 401)])
    def test_against_scale_filter(self, name, dtype, size):
        # Straight from the file: ffmpeg converts to RGB, then scales, as we do.
        path = media(name)
        pix_fmt = "rgb24" if dtype == "uint8" else "rgb48le"
        frames = decode(name, [resize(*size)], dtype)
        assert np.array_equal(frames, ref.pictures(path, pix_fmt, count=COUNT, scale=size))

    @pytest.mark.parametrize("name", [BFRAMES, ODD])
    @pytest.mark.parametrize("steps", [
        [resize(120, 160)],                                  # its own size
        [resize(121, 161)],
        [resize(33, 17)],
        [crop(5, 7, 51, 77), resize(40, 31)],                # odd width inside the picture
        [crop(0, 1, 120, 159), resize(30, 31)],              # odd width at the right edge
        [rotate(1), resize(45, 45)],
        [rotate(3), crop(1, 0, 159, 119), resize(50, 20)],   # odd width in the rotation buffer
        [resize(50, 67), resize(120, 33)],                   # two resizers
        [resize(91, 3), rotate(1), crop(0, 1, 2, 89), resize(5, 9), rotate(2)],
    ])
    @pytest.mark.parametrize("dtype", ["uint8", "uint16", "float32"])
    def test_steps(self, name, steps, dtype):
        assert np.array_equal(decode(name, steps, dtype), expected(name, steps, dtype))

    def test_same_request_same_pictures(self):
        # An odd width used to pick up whatever lay past the rows (left by earlier
        # requests), so the same request could give different pictures.
        steps = [crop(0, 0, 121, 161), resize(33, 17)]
        d = open_video(ODD)
        first = decode(ODD, steps, decoder=d)
        for other in ([resize(120, 160)], [rotate(1), resize(121, 161)], [resize(61, 161)]):
            decode(ODD, other, decoder=d)
            assert np.array_equal(decode(ODD, steps, decoder=d), first)
        assert np.array_equal(first, expected(ODD, steps))

    def test_resizers_follow_their_keys(self):
        # Each resize position rebuilds when its input size, output size or sample
        # type changes, and only its own.
        d = open_video(BFRAMES)
        requests = [
            ([resize(50, 70), rotate(1), resize(31, 17)], "uint8"),
            ([crop(0, 0, 100, 100), resize(31, 17)], "uint8"),
            ([crop(0, 0, 80, 90), resize(31, 17)], "uint8"),
            ([resize(50, 70), rotate(1), resize(31, 17)], "uint16"),
            ([resize(50, 70)], "float32"),
            ([resize(50, 70), rotate(1), resize(31, 17)], "uint8"),
            ([resize(50, 70), rotate(1), resize(31, 18)], "uint8"),
        ]
        for steps, dtype in requests:
            assert np.array_equal(decode(BFRAMES, steps, dtype, decoder=d),
                                  expected(BFRAMES, steps, dtype)), (steps, dtype)

    def test_failure_leaves_the_decoder_usable(self):
        # libswscale refuses a picture of more than 2**28 or so pixels with padding.
        d = open_video(BFRAMES)
        steps = [resize(30, 40), rotate(1), resize(20, 10)]
        for bad in ([resize(1, 2_100_000)], [resize(30, 40), resize(2_100_000, 1)]):
            with pytest.raises(RuntimeError, match="^cannot initialize resize$"):
                d.decode_video([(0, 0)], "uint8", True, bad)
            assert np.array_equal(decode(BFRAMES, steps, decoder=d), expected(BFRAMES, steps))


class TestTimestamps:
    @pytest.mark.parametrize("dtype", ["uint8", "float32"])
    def test_steps_on_shown_frames(self, dtype):
        path = media(BFRAMES)
        frames = ref.video_frames(path)[:COUNT]
        # The middle of frames 4, 1 and 2's display times, in increasing order.
        wanted = [1, 2, 4]
        seconds = [ref.seconds(path, frames[i][0] + frames[i][1] / 2) for i in wanted]
        steps = [rotate(1), crop(3, 4, 150, 101), resize(64, 48), rotate(-1)]
        got = open_video(BFRAMES).decode_timestamps(seconds, dtype, steps)[0]
        assert np.array_equal(got, expected(BFRAMES, steps, dtype)[wanted])
