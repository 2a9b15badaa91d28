"""decode_audio against the ffmpeg command-line tool and ffprobe.

Tolerance: the CLI is of the module's own FFmpeg version, and every case of the table
below matches it exactly (37 of 37 on 9.0.2). The bound still allows 1e-6 per unit of
peak level, the last-bit differences another version's SIMD paths give (at most 4.8e-7
measured, on a 5.1 downmix whose peak is 2.1); any real fault (a sample too many or too
few, a swapped channel, a wrong rate) moves values by 1e-2 or more.
"""
import io
import math
import os
import re
import threading

import numpy as np
import pytest

import _av
from conftest import SAMPLE, corpus, media, media_bytes, rss_kib
import reference as ref
from reference import assert_close, audio_facts, cli, tolerance


def decode(path, rate, channels, stop=None, stream_index=None):
    return _av.Decoder(path, "audio", stream_index).decode_audio(rate, channels, stop)


# (clip, requested rate, requested channels): every source layout, container and codec
# reaches every output rate and mono, stereo and 5.1 output.
REFERENCE_CASES = [
    ("a_mono_8k.wav", 8000, 1), ("a_mono_8k.wav", 44100, 2), ("a_mono_8k.wav", 48000, 6),
    ("audio.wav", 16000, 1), ("audio.wav", 44100, 2), ("audio.wav", 8000, 6),
    ("a_51_48k.wav", 16000, 1), ("a_51_48k.wav", 44100, 2), ("a_51_48k.wav", 48000, 6),
    ("a_mono_16k.m4a", 16000, 1), ("a_mono_16k.m4a", 48000, 2),
    ("a_stereo_48k.m4a", 16000, 1), ("a_stereo_48k.m4a", 8000, 2), ("a_stereo_48k.m4a", 44100, 6),
    ("a_51_48k.m4a", 44100, 1), ("a_51_48k.m4a", 16000, 2), ("a_51_48k.m4a", 48000, 6),
    ("a_mono_8k.mp3", 16000, 1), ("a_mono_8k.mp3", 8000, 2),
    ("a_stereo_44k.mp3", 44100, 1), ("a_stereo_44k.mp3", 48000, 2), ("a_stereo_44k.mp3", 16000, 6),
    ("a_mono_16k.flac", 8000, 1), ("a_mono_16k.flac", 16000, 6),
    ("a_51_44k.flac", 48000, 1), ("a_51_44k.flac", 8000, 2), ("a_51_44k.flac", 44100, 6),
    ("a_mono_16k.opus", 16000, 1), ("a_mono_16k.opus", 44100, 2),
    ("a_stereo_48k.opus", 48000, 1), ("a_stereo_48k.opus", 16000, 2),
    ("a_51_48k.opus", 8000, 1), ("a_51_48k.opus", 48000, 2), ("a_51_48k.opus", 44100, 6),
    ("a_late_start.mkv", 16000, 1), ("a_late_start.mkv", 48000, 2),
    ("audio_first.mp4", 16000, 1),
]


class TestAgainstReference:
    @pytest.mark.parametrize("clip, rate, channels", REFERENCE_CASES)
    def test_samples_and_start(self, clip, rate, channels):
        path = media(clip)
        samples, start = decode(path, rate, channels)
        assert_close(samples, cli(path, rate, channels))
        assert start == pytest.approx(audio_facts(path)["first"], abs=1e-9)

    @pytest.mark.parametrize("where, name, stream", [
        (corpus, "flac_stereo_48k.flac", None), (corpus, "mpeg4part2_mp3.avi", None),
        (corpus, "mp3_in_mka_odd_timescale.mka", None), (lambda _: str(SAMPLE), "sample", None),
        (media, "multi.mkv", 3),  # streams 2 and 3 are audio, at 44.1 and 22.05 kHz
    ])
    def test_other_sources(self, where, name, stream):
        path = where(name)
        samples, start = decode(path, 16000, 2, stream_index=stream)
        assert_close(samples, cli(path, 16000, 2, stream))
        first = audio_facts(path, "a:0" if stream is None else str(stream))["first"]
        assert start == pytest.approx(first, abs=1e-9)

    def test_late_first_frame_is_not_padded(self):
        path = media("a_late_start.mkv")  # 1 s of audio from 0.727 s on
        samples, start = decode(path, 44100, 2)
        assert start == pytest.approx(0.727, abs=1e-9)
        assert 44100 <= samples.shape[1] < 44100 + 3 * 1024  # plus the encoder's priming

    def test_stream_without_frames(self):
        # The index claims over an hour of AAC, but the file ends before any packet.
        path = corpus("aac_truncated_after_moov.m4b")
        samples, start = decode(path, 16000, 2)
        assert samples.shape == (2, 0) and samples.flags.c_contiguous
        assert type(samples.base).__name__ == "PySliceContainer"
        assert start == audio_facts(path)["start"] == 0.0
        # 64 channels passes the argument check; with no frame no resampler is built.
        assert decode(path, 8000, 64)[0].shape == (64, 0)

    def test_truncated_data(self):
        path = media("a_truncated.m4a")
        assert_close(decode(path, 16000, 2)[0], cli(path, 16000, 2))

    @pytest.mark.parametrize("channels", [1, 2, 6])
    def test_sources_agree(self, channels):
        path = media("a_stereo_48k.m4a")
        data = media_bytes("a_stereo_48k.m4a")
        by_path = decode(path, 16000, channels)
        for source in (data, io.BytesIO(data)):
            samples, start = _av.Decoder(source, "audio").decode_audio(16000, channels)
            assert start == by_path[1]
            np.testing.assert_array_equal(samples, by_path[0])


def flush_margin(rate, source_rate):
    """Output samples that depend on input beyond a cut: the resampler's filter reaches
    16 input samples ahead (32 taps), and a flush pads there instead of reading on."""
    return math.ceil(32 * max(1.0, rate / source_rate)) + 2


class TestStop:
    CLIP = "a_stereo_48k.m4a"

    @pytest.mark.parametrize("clip, stop", [(CLIP, 0.3), (CLIP, 0.5), (CLIP, 0.9),
                                            ("a_late_start.mkv", 1.2),
                                            ("a_mono_8k.wav", 0.25)])
    @pytest.mark.parametrize("rate", [16000, 48000])
    def test_inside(self, clip, stop, rate):
        path = media(clip)
        samples, start = decode(path, rate, 2, stop=stop)
        full = cli(path, rate, 2)
        info = audio_facts(path)
        margin = flush_margin(rate, info["rate"])
        lower = math.ceil((stop - start) * rate)
        assert lower <= samples.shape[1] <= lower + info["frame"] * rate / info["rate"] + margin
        assert samples.shape[1] < full.shape[1]
        # Everything before the flushed tail is what a full decode has there.
        keep = samples.shape[1] - margin
        assert_close(samples[:, :keep], full[:, :keep])

    @pytest.mark.parametrize("clip, stop", [(CLIP, 0.0), (CLIP, -3.0), ("a_late_start.mkv", 0.5)])
    def test_before_first_frame_keeps_that_frame(self, clip, stop):
        path = media(clip)
        samples, start = decode(path, 16000, 1, stop=stop)
        assert start == pytest.approx(audio_facts(path)["first"], abs=1e-9)
        info = audio_facts(path)
        one_frame = info["frame"] * 16000 / info["rate"]
        margin = flush_margin(16000, info["rate"])
        assert one_frame * 0.5 <= samples.shape[1] <= one_frame + margin
        keep = samples.shape[1] - margin
        assert_close(samples[:, :keep], cli(path, 16000, 1)[:, :keep])

    @pytest.mark.parametrize("stop", [1.0001, 1e9, math.inf, math.nan, None])
    def test_after_end_or_never(self, stop):
        path = media(self.CLIP)
        samples, _ = decode(path, 16000, 2, stop=stop)
        assert_close(samples, cli(path, 16000, 2))

    def test_omitted_equals_none_and_numbers_convert(self):
        d = _av.Decoder(media(self.CLIP), "audio")

        class Seconds:
            def __float__(self):
                return 0.5

        omitted = d.decode_audio(16000, 1)
        np.testing.assert_array_equal(d.decode_audio(16000, 1, None)[0], omitted[0])
        half = d.decode_audio(channels=1, sample_rate=16000, stop=0.5)[0]
        np.testing.assert_array_equal(d.decode_audio(16000, 1, Seconds())[0], half)
        np.testing.assert_array_equal(d.decode_audio(16000, 1, stop=0)[0],
                                      d.decode_audio(16000, 1, stop=0.0)[0])
        assert half.shape[1] < omitted[0].shape[1]


class TestFormatChanges:
    """A stream whose layout or rate changes mid-way is converted piece by piece."""

    def segments(self, ours, reference, boundaries):
        """Offsets at which each piece of `ours` matches `reference`.

        The CLI rebuilds its filter graph at each change and drops what the old
        resampler still held; we flush it into the output instead. So each piece
        matches at an offset that grows by that flushed tail at every change."""
        offsets = []
        edges = [0, *boundaries, reference.shape[1]]
        for b0, b1 in zip(edges, edges[1:]):
            ref = reference[:, b0 + 40:b1 - 40]
            errors = [np.abs(ours[:, b0 + 40 + k:b1 - 40 + k] - ref).max() for k in range(64)]
            k = int(np.argmin(errors))
            assert errors[k] <= tolerance(ref), (b0, b1, errors[k])
            offsets.append(k)
        return offsets

    @pytest.mark.parametrize("channels", [1, 2])
    def test_mono_stereo_mono_without_resampling(self, channels):
        path = corpus("mp3_channel_change_mono_stereo.mp3")
        assert [g[0] for g in audio_facts(path)["channel_runs"]] == [1, 2, 1]
        assert_close(decode(path, 44100, channels)[0], cli(path, 44100, channels))

    @pytest.mark.parametrize("rate, channels", [(16000, 1), (48000, 2)])
    def test_mono_stereo_mono_resampled(self, rate, channels):
        path = corpus("mp3_channel_change_mono_stereo.mp3")
        groups = audio_facts(path)["channel_runs"]
        ours, _ = decode(path, rate, channels)
        reference = cli(path, rate, channels)
        ends = np.cumsum([g[1] for g in groups])[:-1] * rate // 44100
        offsets = self.segments(ours, reference, list(ends))
        assert offsets[0] == 0 and offsets[0] < offsets[1] < offsets[2] <= 64
        assert ours.shape[1] == reference.shape[1] + offsets[2]

    @pytest.mark.parametrize("rate, channels", [(16000, 1), (44100, 2), (48000, 2), (8000, 6)])
    def test_rate_change(self, rate, channels):
        path = media("a_rate_change.aac")  # 44.1 kHz, then 32 kHz
        first = cli(media("a_rate_part1.aac"), rate, channels)
        second = cli(media("a_rate_part2.aac"), rate, channels)
        ours, start = decode(path, rate, channels)
        assert start == 0.0
        # Each piece converted whole: nothing dropped, nothing read at the wrong rate.
        assert ours.shape[1] == first.shape[1] + second.shape[1]
        keep = first.shape[1] - 64
        assert_close(ours[:, :keep], first[:, :keep])
        # The second piece as the CLI decodes it within the joined file (its first frame
        # overlaps the first piece's last one in the decoder).
        reference = cli(path, rate, channels)
        tail = second.shape[1] - 2048
        assert_close(ours[:, -tail:], reference[:, -tail:])


    def test_chained_ogg(self):
        # Two chained Vorbis links, mono 44.1 kHz then stereo 48 kHz. FFmpeg 8's Ogg
        # demuxer refuses a link that changes the layout: the tool prints the error and
        # stops, the call fails with it rather than return the first link as the stream.
        path = media("a_ogg_chained.ogg")
        error = ref.demuxing_error(path)
        if error:
            with pytest.raises(RuntimeError, match=f"^read packet: {re.escape(error)}$"):
                decode(path, 16000, 1)
            return
        first = cli(media("a_ogg_link1.ogg"), 16000, 1)
        second = cli(media("a_ogg_link2.ogg"), 16000, 1)
        ours, _ = decode(path, 16000, 1)
        keep = first.shape[1] - 64
        assert_close(ours[:, :keep], first[:, :keep])
        # The second link as the tool decodes it within the chain (the decoder carries
        # state across the link), and nothing dropped at the change.
        assert_close(ours[:, -keep:], cli(path, 16000, 1)[:, -keep:])
        assert abs(ours.shape[1] - first.shape[1] - second.shape[1]) <= 64


@pytest.fixture(scope="module")
def decoder():
    d = _av.Decoder(media("audio.wav"), "audio")
    yield d
    d.close()


class TestArguments:
    @pytest.mark.parametrize("rate, channels", [(0, 1), (-1, 1), (16000, 0), (16000, -2),
                                                (16000, 65), (-5, 0)])
    def test_out_of_range(self, decoder, rate, channels):
        with pytest.raises(ValueError) as info:
            decoder.decode_audio(rate, channels)
        assert str(info.value) == "sample_rate and num_channels must be positive (channels <= 64)"

    @pytest.mark.parametrize(
        "args, kwargs, exc, message",
        [
            (("16000", 1), {}, TypeError, "argument 'sample_rate': "),
            ((16000, 1.0), {}, TypeError, "argument 'channels': "),
            ((16000, 1, "1"), {}, TypeError, "argument 'stop': "),
            ((16000, 1), {"stop": [1]}, TypeError, "argument 'stop': "),
            ((2**31, 1), {}, OverflowError, ""),
            ((16000, -2**31 - 1), {}, OverflowError, ""),
            ((16000,), {}, TypeError,
             "Decoder.decode_audio() missing 1 required positional argument: 'channels'"),
            ((), {}, TypeError, "Decoder.decode_audio() missing 2 required positional arguments: "
                                "'sample_rate' and 'channels'"),
            ((16000, 1, None, 4), {}, TypeError,
             "Decoder.decode_audio() takes from 2 to 3 positional arguments but 4 were given"),
            ((16000, 1), {"rate": 1}, TypeError,
             "Decoder.decode_audio() got an unexpected keyword argument 'rate'"),
            ((16000, 1), {"sample_rate": 1}, TypeError,
             "Decoder.decode_audio() got multiple values for argument 'sample_rate'"),
        ],
    )
    def test_rejected(self, decoder, args, kwargs, exc, message):
        with pytest.raises(exc) as info:
            decoder.decode_audio(*args, **kwargs)
        assert type(info.value) is exc
        assert str(info.value).startswith(message)

    def test_order_of_checks(self):
        video = _av.Decoder(str(SAMPLE), "video")
        # The stream check comes before the value check.
        with pytest.raises(RuntimeError, match="^cannot decode audio from video stream$"):
            video.decode_audio(0, 0)
        video.close()
        # Conversions come before the closed check, which comes before the value check.
        with pytest.raises(TypeError, match="argument 'channels'"):
            video.decode_audio(16000, "1")
        with pytest.raises(RuntimeError, match="^decoder is closed$"):
            video.decode_audio(0, 0)

    def test_resampler_refusal_is_a_runtime_error(self, decoder):
        # 64 channels passes the argument check; libswresample has no default layout for it.
        with pytest.raises(RuntimeError, match="^initialize audio resampling: "):
            decoder.decode_audio(16000, 64)
        assert decoder.decode_audio(16000, 2)[0].shape[0] == 2  # still usable


class TestResult:
    @pytest.mark.parametrize("channels", [1, 2, 6])
    def test_array(self, channels):
        samples, start = decode(media("audio.wav"), 8000, channels)
        assert isinstance(start, float)
        assert samples.dtype == np.float32
        assert samples.flags.c_contiguous and samples.flags.writeable and not samples.flags.owndata
        assert type(samples.base).__name__ == "PySliceContainer"
        assert samples.strides == (samples.shape[1] * 4, 4)
        samples[:] = 1.0  # writeable memory of its own

    @pytest.mark.parametrize("channels", [1, 2, 3])
    def test_long_output(self, channels):
        # Over half a million samples per channel: the channels are joined in several
        # steps, the last one partial.
        path = media("audio.wav")
        samples, _ = decode(path, 600000, channels)
        assert samples.shape[1] > 2 * 262144
        assert_close(samples, cli(path, 600000, channels))

    # A flushed decoder is not a new one: Opus trims its pre-skip only once, AAC's noise
    # substitution goes on from its generator's last state, and MP3 seeks need the fallback.
    @pytest.mark.parametrize("clip", ["a_51_48k.opus", "a_51_48k.m4a", "a_stereo_44k.mp3",
                                      "a_rate_change.aac"])
    def test_each_call_decodes_the_same(self, clip):
        d = _av.Decoder(media(clip), "audio")
        first = d.decode_audio(16000, 2)
        d.decode_audio(8000, 6, stop=0.2)  # leaves the stream mid-way
        middle = d.decode_audio(44100, 1)  # leaves it exhausted
        again = d.decode_audio(16000, 2)
        np.testing.assert_array_equal(first[0], again[0])
        assert first[1] == again[1]
        assert_close(middle[0], cli(media(clip), 44100, 1))
        assert middle[1] == first[1] == pytest.approx(audio_facts(media(clip))["first"], abs=1e-9)

    def test_more_channels_than_the_source(self):
        samples, _ = decode(media("a_mono_8k.wav"), 8000, 2)
        np.testing.assert_array_equal(samples[0], samples[1])
        assert_close(samples, cli(media("a_mono_8k.wav"), 8000, 2))


class BlockingReader(io.BytesIO):
    """Blocks in read, once armed, until released."""

    def __init__(self, data):
        super().__init__(data)
        self.armed = False
        self.entered = threading.Event()
        self.release = threading.Event()

    def read(self, size=-1):
        if self.armed:
            self.entered.set()
            self.release.wait(10)
        return super().read(size)


class TestConcurrency:
    def test_lock_released_and_second_call_refused(self):
        reader = BlockingReader(media_bytes("a_51_48k.wav"))  # larger than one read
        d = _av.Decoder(reader, "audio")
        reader.armed = True
        result = {}
        worker = threading.Thread(target=lambda: result.update(out=d.decode_audio(16000, 1)))
        worker.start()
        try:
            assert reader.entered.wait(10)  # this thread runs while the call is inside FFmpeg
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                d.decode_audio(16000, 1)
        finally:
            reader.armed = False
            reader.release.set()
            worker.join(10)
        assert_close(result["out"][0], cli(media("a_51_48k.wav"), 16000, 1))


# AddressSanitizer keeps freed blocks in quarantine (hundreds of MB), so resident memory
# says nothing about leaks there; the regular build runs this.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="freed memory stays resident under AddressSanitizer")
def test_repeated_calls_leak_nothing():
    d = _av.Decoder(media("a_rate_change.aac"), "audio")
    bad = _av.Decoder(media("audio.wav"), "audio")

    def churn(n):
        for i in range(n):
            d.decode_audio(16000, 1 + i % 3, stop=None if i % 2 else 0.5)
            with pytest.raises(RuntimeError):
                bad.decode_audio(16000, 64)

    churn(30)
    before = rss_kib()
    churn(120)
    assert rss_kib() - before < 4096
