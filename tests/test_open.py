import ctypes
import gc
import io
import weakref

import numpy as np
import pytest

import _av
import reference as ref
from conftest import SAMPLE, media, media_bytes, rss_kib
from doubles import (ReadRaises, ReadReturns, ReadTooMuch, Recording, SeekRaises,
                     SeekReturnsNone)

DATA = SAMPLE.read_bytes()


class TestArguments:
    @pytest.mark.parametrize(
        "args, kwargs, exc, message",
        [
            ((123, "video"), {}, ValueError, "source must be a path/URL or encoded bytes"),
            ((bytearray(DATA), "video"), {}, ValueError, "source must be a path/URL or encoded bytes"),
            ((DATA, "Video"), {}, ValueError, "media_type must be video or audio"),
            ((DATA, 1), {}, TypeError,
             "argument 'media_type': 'int' object cannot be converted to 'PyString'"),
            ((DATA, "video", None, None), {}, TypeError, "argument 'threads': "),
            ((DATA, "video", "0"), {}, TypeError, "argument 'stream_index': "),
            ((DATA, "video", 1, 2, 3), {}, TypeError,
             "Decoder.__new__() takes from 2 to 4 positional arguments but 5 were given"),
            ((), {}, TypeError,
             "Decoder.__new__() missing 2 required positional arguments: 'source' and 'media_type'"),
            ((DATA,), {}, TypeError,
             "Decoder.__new__() missing 1 required positional argument: 'media_type'"),
            ((DATA, "video", 0), {"stream_index": 0}, TypeError,
             "Decoder.__new__() got multiple values for argument 'stream_index'"),
            ((DATA, "video"), {"thread": 1}, TypeError,
             "Decoder.__new__() got an unexpected keyword argument 'thread'"),
            ((DATA, "video"), {"threads": 2**31}, OverflowError, ""),
            ((DATA, "video"), {"stream_index": -2**31 - 1}, OverflowError, ""),
        ],
    )
    def test_rejected(self, args, kwargs, exc, message):
        with pytest.raises(exc) as info:
            _av.Decoder(*args, **kwargs)
        assert str(info.value).startswith(message)
        assert type(info.value) is exc

    def test_media_type_checked_before_source_kind(self):
        with pytest.raises(TypeError, match="argument 'media_type'"):
            _av.Decoder(123, None)

    def test_source_attribute_lookup_errors_propagate(self):
        class Broken:
            def __getattr__(self, name):
                raise KeyError(name)

        with pytest.raises(KeyError):
            _av.Decoder(Broken(), "video")

    @pytest.mark.parametrize("kwargs", [{"stream_index": None}, {"threads": 0}, {"threads": 2}])
    def test_accepted(self, kwargs):
        _av.Decoder(DATA, "video", **kwargs).close()

    def test_index_like_objects(self):
        class Index:
            def __index__(self):
                return 1

        _av.Decoder(DATA, "video", threads=Index()).close()


class TestSources:
    def test_path(self):
        _av.Decoder(str(SAMPLE), "video").close()

    def test_bytes_subclass_and_private_copy(self):
        # Nothing in Python can change a bytes object, so the test writes zeros over its
        # contents through ctypes, then drops it: a decoder reading the caller's memory
        # instead of its own copy would decode zeros or freed memory.
        class B(bytes):
            pass

        data = B(DATA)
        d = _av.Decoder(data, "video")
        contents = id(data) + bytes.__basicsize__ - 1  # ob_sval, the same in subclasses
        assert ctypes.string_at(contents, 64) == DATA[:64]
        ctypes.memset(contents, 0, len(data))
        assert data == bytes(len(DATA))
        del data
        frames, _, _ = d.decode_video(ref.targets(str(SAMPLE)), "uint8", True)
        assert np.array_equal(frames, ref.pictures(str(SAMPLE)))

    def test_file_like_rewound_before_reading(self):
        f = Recording(DATA)
        f.seek(1234)
        f.calls.clear()
        _av.Decoder(f, "video").close()
        assert f.calls[0] == ("seek", 0, 0)
        assert any(c[0] == "read" for c in f.calls)

    def test_str_never_treated_as_file(self):
        with pytest.raises(RuntimeError, match="^open input: No such file or directory"):
            _av.Decoder("/nonexistent/clip.mp4", "video")

    def test_path_with_nul(self, tmp_path):
        with pytest.raises(ValueError, match="^path contains NUL$"):
            _av.Decoder(str(SAMPLE) + "\0x", "video")

    def test_undecodable_str_is_not_a_path(self):
        with pytest.raises(ValueError, match="source must be a path/URL"):
            _av.Decoder("\udcff", "video")


class TestStreamChoice:
    def test_best_stream_of_each_type(self):
        # The audio stream comes first in this clip; each media type finds its own.
        _av.Decoder(media("audio_first.mp4"), "video").close()
        _av.Decoder(media("audio_first.mp4"), "audio").close()

    @pytest.mark.parametrize("index, media_type", [(0, "video"), (1, "video"), (2, "audio"), (3, "audio")])
    def test_explicit_index(self, index, media_type):
        _av.Decoder(media("multi.mkv"), media_type, index).close()

    @pytest.mark.parametrize(
        "path, media_type, index, message",
        [
            ("bframes.mp4", "audio", None, "no valid stream of the requested media type"),
            ("audio.wav", "video", None, "no valid stream of the requested media type"),
            ("multi.mkv", "video", 4, "no valid stream of the requested media type"),
            ("multi.mkv", "video", -1, "no valid stream of the requested media type"),
            ("multi.mkv", "video", 2, "stream has the wrong media type"),
            ("multi.mkv", "audio", 0, "stream has the wrong media type"),
        ],
    )
    def test_rejected(self, path, media_type, index, message):
        with pytest.raises(ValueError, match=f"^{message}$"):
            _av.Decoder(media(path), media_type, index)


class TestBadInput:
    @pytest.mark.parametrize("name", ["noise.bin", "truncated_no_index.mp4"])
    @pytest.mark.parametrize("kind", ["path", "bytes", "file"])
    def test_unopenable(self, name, kind):
        path = media(name)
        source = {"path": lambda: path, "bytes": lambda: media_bytes(name),
                  "file": lambda: io.BytesIO(media_bytes(name))}[kind]()
        with pytest.raises(RuntimeError, match="^(open input|read stream metadata): "):
            _av.Decoder(source, "video")

    def test_empty_bytes(self):
        with pytest.raises(RuntimeError, match="^open input: "):
            _av.Decoder(b"", "video")

    def test_truncated_data_still_opens(self):
        _av.Decoder(media("truncated_data.mp4"), "video").close()


class TestMisbehavingFileLike:
    @pytest.mark.parametrize(
        "make",
        [
            lambda: ReadRaises(DATA),
            lambda: ReadReturns(DATA, bytearray),
            lambda: ReadReturns(DATA, memoryview),
            lambda: ReadReturns(DATA, lambda b: b.decode("latin-1")),
            lambda: ReadReturns(DATA, lambda b: None),
            lambda: ReadTooMuch(DATA),
        ],
        ids=["raises", "bytearray", "memoryview", "str", "none", "too-much"],
    )
    def test_read_failure_is_an_io_error(self, make):
        with pytest.raises(RuntimeError, match="^open input: Input/output error$"):
            _av.Decoder(make(), "video")

    def test_seek_raising_at_rewind(self):
        with pytest.raises(RuntimeError, match="^UnsupportedOperation: not seekable$"):
            _av.Decoder(SeekRaises(DATA), "video")

    def test_seek_exception_whose_str_fails(self):
        class Weird(Exception):
            def __str__(self):
                raise ValueError("no")

        class F(io.BytesIO):
            def seek(self, *a):
                raise Weird()

        with pytest.raises(RuntimeError, match=r"Weird: <exception str\(\) failed>$"):
            _av.Decoder(F(DATA), "video")

    def test_seek_returning_none(self):
        # The rewind before the open discards the result, so the open reads the header
        # as from the path. Every later seek fails, and decoding every frame has to go
        # back in the file (audio and video are interleaved).
        d = _av.Decoder(SeekReturnsNone(DATA), "video")
        assert d.metadata() == _av.Decoder(str(SAMPLE), "video").metadata()
        with pytest.raises(RuntimeError, match="^read packet: "):
            d.decode_video(ref.targets(str(SAMPLE)), "uint8", True)

    def test_seek_failure_is_never_an_early_end(self):
        # The failed seek may have moved the object: reading on would feed the demuxer
        # bytes from elsewhere, which it takes for the end of the file.
        video, audio = (_av.Decoder(SeekReturnsNone(DATA), kind) for kind in ("video", "audio"))
        with pytest.raises(RuntimeError, match="^scan packets: Input/output error$"):
            video.scan()
        with pytest.raises(RuntimeError, match="^read packet: Input/output error$"):
            audio.decode_audio(16000, 1)

    def test_not_callable_attributes(self):
        class F:
            read = 1
            seek = 2

        with pytest.raises(RuntimeError, match="^TypeError: "):
            _av.Decoder(F(), "video")


class TestLifetime:
    def test_close_is_idempotent(self):
        d = _av.Decoder(DATA, "video")
        assert d.close() is None
        assert d.close() is None
        with pytest.raises(RuntimeError, match="^decoder is closed$"):
            d.scan()

    def test_file_like_released_on_delete(self):
        f = io.BytesIO(DATA)
        ref = weakref.ref(f)
        d = _av.Decoder(f, "video")
        del f
        assert ref() is not None
        del d
        assert ref() is None

    def test_file_like_released_on_close(self):
        f = io.BytesIO(DATA)
        ref = weakref.ref(f)
        d = _av.Decoder(f, "video")
        del f
        d.close()
        assert ref() is None

    def test_file_like_released_on_failed_open(self):
        f = ReadRaises(DATA)
        ref = weakref.ref(f)
        with pytest.raises(RuntimeError):
            _av.Decoder(f, "video")
        del f
        assert ref() is None

    def test_cycle_through_file_like_is_collected(self):
        f = Recording(DATA)
        d = _av.Decoder(f, "video")
        f.decoder = d
        ref = weakref.ref(f)
        del f, d
        gc.collect()
        assert ref() is None


def test_failing_opens_leak_nothing():
    truncated = media_bytes("truncated_no_index.mp4")
    noise = media_bytes("noise.bin")

    def churn(n):
        for _ in range(n):
            for source, media_type in ((truncated, "video"), (noise, "video"),
                                       (ReadRaises(DATA), "video"), (DATA, "Video"),
                                       (media("bframes.mp4"), "audio")):
                try:
                    _av.Decoder(source, media_type)
                except (RuntimeError, ValueError):
                    pass
            _av.Decoder(DATA, "audio").close()

    churn(200)
    before = rss_kib()
    churn(800)
    assert rss_kib() - before < 4096
