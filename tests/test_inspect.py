import io
import struct
import threading
import time

import numpy as np
import pytest

import _av
import reference as ref
from conftest import CORPUS, SAMPLE, corpus, media, media_bytes
from doubles import FailsOnce

COMMON_KEYS = ["stream_index", "media_type", "time_base_num", "time_base_den", "codec",
               "bit_rate", "duration_seconds_from_header", "container_duration",
               "begin_stream_seconds_from_header"]
AUDIO_KEYS = COMMON_KEYS + ["sample_rate", "num_channels", "sample_format"]
VIDEO_KEYS = COMMON_KEYS + ["width", "height", "num_frames_from_header", "average_fps_from_header",
                            "pixel_aspect_ratio", "pixel_format", "bit_depth", "color_range",
                            "color_space", "color_primaries", "color_transfer_characteristic",
                            "rotation"]

CLIPS = [  # (path, media type, stream index or None)
    (str(SAMPLE), "video", None),
    (str(SAMPLE), "audio", None),
    ("bframes.mp4", "video", None),
    ("audio_first.mp4", "video", None),
    ("audio_first.mp4", "audio", None),
    ("multi.mkv", "video", 0),
    ("multi.mkv", "video", 1),
    ("multi.mkv", "audio", 2),
    ("multi.mkv", "audio", 3),
    ("audio.wav", "audio", None),
    ("audio.m4a", "audio", None),
    ("audio.flac", "audio", None),
    ("rotated90.mp4", "video", None),
    # Ogg Theora with repeated frames, which FFmpeg 8 and later read as empty packets.
    ("many/theora.ogv", "video", None),
    # MP3 refuses a seek before its first packet, and its start time lies after it.
    ("a_mono_8k.mp3", "audio", None),
    ("a_stereo_44k.mp3", "audio", None),
    ("a_stereo_48k.opus", "audio", None),
]


def resolve(path):
    return path if path.startswith("/") else media(path)


def unspecified(value):
    return value in (None, "unknown", "unspecified", "reserved")


def expected_from_ffprobe(path, index):
    """Our metadata keys with the values ffprobe gives for them (those it gives)."""
    s = ref.stream(path, index)
    tb_num, tb_den = ref.rational(s["time_base"])
    tb = tb_num / tb_den
    out = {"stream_index": index, "media_type": s["codec_type"], "time_base_num": tb_num,
           "time_base_den": tb_den, "codec": s["codec_name"]}
    if s.get("duration_ts", 0) > 0:
        out["duration_seconds_from_header"] = pytest.approx(s["duration_ts"] * tb)
    if "start_pts" in s:
        out["begin_stream_seconds_from_header"] = pytest.approx(s["start_pts"] * tb)
    if "bit_rate" in s:
        out["bit_rate"] = float(s["bit_rate"])
    if s["codec_type"] == "audio":
        out.update(sample_rate=int(s["sample_rate"]), num_channels=s["channels"],
                   sample_format=s.get("sample_fmt"))
        return out
    out.update(width=s["width"], height=s["height"], pixel_format=s.get("pix_fmt"),
               rotation=ref.rotation(path, index))
    num, den = ref.rational(s["r_frame_rate"])
    if num > 0 and den > 0:
        out["average_fps_from_header"] = pytest.approx(num / den)
    if int(s.get("nb_frames", 0)) > 0:
        out["num_frames_from_header"] = int(s["nb_frames"])
    for ours, theirs in (("color_range", "color_range"), ("color_space", "color_space"),
                         ("color_primaries", "color_primaries"),
                         ("color_transfer_characteristic", "color_transfer")):
        out[ours] = None if unspecified(s.get(theirs)) else s[theirs]
    return out


def check_against_ffprobe(path, m):
    assert isinstance(m["bit_rate"], float)
    for key, expected in expected_from_ffprobe(path, m["stream_index"]).items():
        assert m[key] == expected, key


class TestMetadata:
    @pytest.mark.parametrize("path, media_type, index", CLIPS)
    def test_matches_ffprobe(self, path, media_type, index):
        path = resolve(path)
        m = _av.Decoder(path, media_type, index).metadata()
        assert list(m) == (AUDIO_KEYS if media_type == "audio" else VIDEO_KEYS)
        if index is not None:
            assert m["stream_index"] == index
        check_against_ffprobe(path, m)

    def test_types(self):
        m = _av.Decoder(str(SAMPLE), "video").metadata()
        assert isinstance(m["pixel_aspect_ratio"], tuple)
        assert all(isinstance(v, int) for v in m["pixel_aspect_ratio"])
        assert isinstance(m["bit_depth"], int)
        assert m["rotation"] is None  # no display matrix

    def test_rotation(self):
        d = _av.Decoder(media("rotated90.mp4"), "video")
        assert d.metadata()["rotation"] == ref.rotation(media("rotated90.mp4"), 0) != 0
        assert d.metadata(apply_rotation=False)["rotation"] is None
        assert d.metadata(np.bool_(False))["rotation"] is None

    @pytest.mark.parametrize("matrix, expected", [
        ((-1, 0, 0, 1), NotImplementedError),   # mirrored left to right
        ((0, 0, 0, 0), NotImplementedError),    # singular
        ((1, 0, 0, 1), None),                   # identity: no rotation
    ])
    def test_display_matrix_written_into_tkhd(self, tmp_path, matrix, expected):
        data = bytearray(media_bytes("bframes.mp4"))
        at = data.index(b"tkhd") + 4 + 4 + 36  # version 0: size, type, then 36 bytes to the matrix
        a, b, c, d = (v * 0x10000 for v in matrix)
        data[at:at + 36] = struct.pack(">9i", a, b, 0, c, d, 0, 0, 0, 0x40000000)
        path = tmp_path / "matrix.mp4"
        path.write_bytes(data)
        dec = _av.Decoder(str(path), "video")
        if expected is NotImplementedError:
            with pytest.raises(NotImplementedError,
                               match="^reflected or singular display matrices are unsupported$"):
                dec.metadata()
        else:
            assert dec.metadata()["rotation"] is expected
        assert dec.metadata(apply_rotation=False)["rotation"] is None

    @pytest.mark.parametrize("value", [1, 0, None, "yes"])
    def test_apply_rotation_must_be_bool(self, value):
        d = _av.Decoder(str(SAMPLE), "video")
        with pytest.raises(TypeError, match="^argument 'apply_rotation': '.*' object cannot be "
                                            "converted to 'PyBool'$"):
            d.metadata(value)

    def test_arguments_checked_before_closed(self):
        d = _av.Decoder(str(SAMPLE), "video")
        d.close()
        with pytest.raises(TypeError):
            d.metadata(1)
        with pytest.raises(RuntimeError, match="^decoder is closed$"):
            d.metadata()
        with pytest.raises(TypeError, match="unexpected keyword argument 'rotation'"):
            d.metadata(rotation=True)


class TestScan:
    @pytest.mark.parametrize("path, media_type, index", CLIPS)
    def test_matches_ffprobe(self, path, media_type, index):
        path = resolve(path)
        d = _av.Decoder(path, media_type, index)
        stream_index = d.metadata()["stream_index"]
        records = d.scan()
        expected = ref.packets(path, stream_index)
        assert records == expected
        assert all(type(p) is int and type(dur) is int and type(k) is bool for p, dur, k in records)

    def test_bframes_are_stored_out_of_order(self):
        # The point of sorting: the file order differs from presentation order.
        file_order = [p["pts"] for p in ref.packet_list(media("bframes.mp4")) if p["stream_index"] == 0]
        assert file_order != sorted(file_order)
        pts = [r[0] for r in _av.Decoder(media("bframes.mp4"), "video").scan()]
        assert pts == sorted(file_order)

    def test_twice_gives_the_same(self):
        d = _av.Decoder(media_path := str(SAMPLE), "video")
        assert d.scan() == d.scan() == ref.packets(media_path, 0)

    def test_file_like_source(self):
        d = _av.Decoder(io.BytesIO(SAMPLE.read_bytes()), "audio")
        assert d.scan() == ref.packets(str(SAMPLE), 1)

    def test_truncated_file(self):
        # The index lists every packet, the data stops half-way: ffprobe reads the
        # packets that are there (the last one partial) and ends without an error.
        path = media("truncated_data.mp4")
        records = _av.Decoder(path, "video").scan()
        assert records == ref.packets(path, 0)
        assert 0 < len(records) < int(ref.stream(path, 0)["nb_frames"])

    def test_closed(self):
        d = _av.Decoder(str(SAMPLE), "video")
        d.close()
        with pytest.raises(RuntimeError, match="^decoder is closed$"):
            d.scan()


# With no corpus folder, one case that skips naming it.
CORPUS_FILES = sorted(p.name for p in CORPUS.glob("*") if p.suffix != ".md") or [""]
DOCUMENTED = ("open input: ", "read stream metadata: ", "no valid stream of the requested media type",
              "FFmpeg has no decoder for this codec", "scan packets: ", "seek: ",
              "reflected or singular display matrices are unsupported")


@pytest.mark.parametrize("media_type", ["video", "audio"])
@pytest.mark.parametrize("name", CORPUS_FILES)
def test_corpus_matches_ffprobe_or_fails_cleanly(name, media_type):
    path = corpus(name)
    try:
        d = _av.Decoder(path, media_type)
        try:
            m = d.metadata()
        except NotImplementedError:
            # A mirrored matrix has no rotation to compare; everything else must match.
            m = d.metadata(apply_rotation=False)
            m["rotation"] = ref.rotation(path, m["stream_index"])
        check_against_ffprobe(path, m)
        assert d.scan() == ref.packets(path, m["stream_index"])
    except (RuntimeError, ValueError) as e:
        assert str(e).startswith(DOCUMENTED), str(e)


class TestBorrowing:
    def test_reentrant_call_from_read_is_refused(self):
        seen = []

        class Reentrant(io.BytesIO):
            decoder = None

            def read(self, size=-1):
                if self.decoder is not None and not seen:
                    try:
                        self.decoder.scan()
                    except RuntimeError as e:
                        seen.append(str(e))
                return super().read(size)

        f = Reentrant(SAMPLE.read_bytes())
        d = _av.Decoder(f, "video")
        f.decoder = d
        assert d.scan() == ref.packets(str(SAMPLE), 0)
        assert seen == ["Already borrowed"]

    def test_other_threads_fail_at_once(self):
        started = threading.Event()
        release = threading.Event()

        class Slow(io.BytesIO):
            def read(self, size=-1):
                started.set()
                release.wait(5)
                return super().read(size)

        f = Slow(SAMPLE.read_bytes())
        d = _av.Decoder(f, "video")
        started.clear()
        worker = threading.Thread(target=d.scan)
        worker.start()
        try:
            assert started.wait(5)
            with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                d.metadata()
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                d.scan()
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                d.close()
        finally:
            release.set()
            worker.join()
        d.metadata()  # free again


class TestTransientReadFailure:
    def test_one_failed_read_does_not_poison_later_calls(self):
        data = SAMPLE.read_bytes()
        probe_reads = FailsOnce(data, at=0)
        _av.Decoder(probe_reads, "video").scan()
        failing = FailsOnce(data, at=probe_reads.count + 1)  # fail during the next scan
        d = _av.Decoder(failing, "video")
        failing.at = failing.count + 1
        with pytest.raises(RuntimeError, match="Input/output error"):
            d.scan()
        assert d.scan() == ref.packets(str(SAMPLE), 0)

    def test_a_reader_that_keeps_failing_fails_every_call(self):
        class Breaks(io.BytesIO):
            broken = False

            def read(self, size=-1):
                if self.broken:
                    raise OSError("gone")
                return super().read(size)

        f = Breaks(SAMPLE.read_bytes())
        d = _av.Decoder(f, "video")
        f.broken = True
        for _ in range(2):
            with pytest.raises(RuntimeError, match="Input/output error"):
                d.scan()
