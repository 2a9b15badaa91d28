"""Bytes and file-like sources must not reach anything outside the given bytes, even
when the bytes are a playlist, a concat list, a manifest or a session description."""
import io
import json
import os
import socket
import subprocess
import sys
import textwrap

import pytest

import _av
import reference as ref
from conftest import ROOT, SAMPLE, media, media_bytes

# Runs in a child process so that an opener blocking on the FIFO, or a demuxer waiting
# on a socket, shows up as a time-out instead of hanging the suite.
CHILD = textwrap.dedent("""
    import io, sys, _av
    data = open(sys.argv[1], "rb").read()
    source = io.BytesIO(data) if sys.argv[2] == "file" else data
    try:
        d = _av.Decoder(source, "video")
        d.scan()
        print("opened")
    except (RuntimeError, ValueError) as e:
        print("refused:", e)
""")


def run_child(tmp_path, payload, kind):
    script = tmp_path / "payload"
    script.write_bytes(payload)
    return subprocess.run([sys.executable, "-c", CHILD, str(script), kind], cwd=tmp_path,
                          capture_output=True, text=True, timeout=10)




@pytest.fixture
def trap(tmp_path):
    """A FIFO in the working directory: any process that opens it for reading blocks."""
    path = tmp_path / "secret.ts"
    os.mkfifo(path)
    return path


@pytest.mark.parametrize("kind", ["bytes", "file"])
class TestNestedResources:
    def test_concat_script_naming_a_local_file(self, tmp_path, trap, kind):
        payload = f"ffconcat version 1.0\nfile '{trap.name}'\n".encode()
        result = run_child(tmp_path, payload, kind)
        assert result.stdout.startswith("refused: "), result

    def test_concat_script_with_absolute_path(self, tmp_path, kind):
        payload = f"ffconcat version 1.0\nfile '{SAMPLE}'\n".encode()
        result = run_child(tmp_path, payload, kind)
        assert result.stdout.startswith("refused: "), result

    def test_hls_playlist_naming_a_local_file(self, tmp_path, trap, kind):
        payload = ("#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10,\n"
                   f"{trap.name}\n#EXTINF:10,\n{SAMPLE}\n#EXT-X-ENDLIST\n").encode()
        result = run_child(tmp_path, payload, kind)
        assert result.stdout.startswith("refused: "), result

    def test_hls_master_playlist(self, tmp_path, trap, kind):
        (tmp_path / "media.m3u8").write_text(
            f"#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10,\n{SAMPLE}\n#EXT-X-ENDLIST\n")
        payload = ("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1000\nmedia.m3u8\n").encode()
        result = run_child(tmp_path, payload, kind)
        assert result.stdout.startswith("refused: "), result

    def test_dash_manifest(self, tmp_path, kind):
        with open("/proc/self/maps") as f:
            if "libxml2" not in f.read():
                pytest.skip("this FFmpeg build has no DASH demuxer (built without libxml2)")
        payload = textwrap.dedent(f"""\
            <?xml version="1.0"?>
            <MPD xmlns="urn:mpeg:dash:schema:mpd:2011" type="static"
                 mediaPresentationDuration="PT3S" minBufferTime="PT1S"
                 profiles="urn:mpeg:dash:profile:isoff-on-demand:2011">
              <Period><AdaptationSet mimeType="video/mp4"><Representation id="1" bandwidth="1000">
                <BaseURL>{SAMPLE}</BaseURL>
              </Representation></AdaptationSet></Period>
            </MPD>""").encode()
        result = run_child(tmp_path, payload, kind)
        assert result.stdout.startswith("refused: "), result

    def test_sdp_binds_no_port(self, tmp_path, kind):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        payload = (f"v=0\no=- 0 0 IN IP4 127.0.0.1\ns=test\nc=IN IP4 127.0.0.1\nt=0 0\n"
                   f"m=video {port} RTP/AVP 96\na=rtpmap:96 H264/90000\n").encode()
        result = run_child(tmp_path, payload, kind)
        assert result.stdout.startswith("refused: "), result
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("0.0.0.0", port))  # nobody holds it


@pytest.mark.parametrize("name, media_type", [
    ("bframes.mp4", "video"), ("multi.mkv", "video"), ("vp9.webm", "video"),
    ("bframes.ts", "video"), ("bottom_up_bgr24.avi", "video"), ("a_stereo_44k.mp3", "audio"),
    ("audio.wav", "audio"), ("audio.flac", "audio"), ("a_stereo_48k.opus", "audio"),
])
def test_ordinary_media_still_opens_from_memory(name, media_type):
    # Every single-file container reads the same packets from memory as from its path.
    expected = _av.Decoder(media(name), media_type).scan()
    assert expected
    data = media_bytes(name)
    for source in (data, io.BytesIO(data)):
        assert _av.Decoder(source, media_type).scan() == expected


def test_paths_are_the_callers_choice(tmp_path):
    # A path source may name a playlist that names other files: the caller chose it.
    (tmp_path / "clip.mp4").write_bytes(SAMPLE.read_bytes())
    playlist = tmp_path / "list.ffconcat"
    playlist.write_text("ffconcat version 1.0\nfile 'clip.mp4'\n")
    d = _av.Decoder(str(playlist), "video")
    assert len(d.scan()) == 75


REGRESSIONS = sorted(p for p in (ROOT / "fuzz" / "regressions").iterdir() if p.name != "README.md")

# Every way the module reads an input: each media type opened, scanned, asked for
# frames (exact and not, and by second through a transform) and decoded as audio.
REPLAY = textwrap.dedent("""
    import json, resource, sys, time, _av
    def attempt(call):
        try:
            call()
        except (RuntimeError, ValueError, MemoryError, NotImplementedError):
            pass
    def replay(path):
        for kind in ("video", "audio"):
            try:
                d = _av.Decoder(path, kind)
            except (RuntimeError, ValueError):
                continue
            packets = []
            attempt(lambda: packets.extend(d.scan()))
            if kind == "audio":
                attempt(lambda: d.decode_audio(16000, 2))
                continue
            targets = [(pts, packets[0][0]) for pts, _, _ in packets[:: max(1, len(packets) // 3)]]
            for exact in (True, False):
                attempt(lambda: d.decode_video(targets, "uint8", exact))
            attempt(lambda: d.decode_timestamps([0.0, 0.5, 1.0], "uint8", [("resize", 0, 0, 16, 16)]))
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    seconds = {}
    for path in sys.argv[1:]:
        start = time.monotonic()
        replay(path)
        seconds[path] = time.monotonic() - start
    grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base) * 1024
    print(json.dumps({"seconds": seconds, "grown": grown}))
""")


def test_fuzzer_findings_stay_fixed():
    # Inputs the fuzzer (fuzz/engine_fuzzer.cpp) found a crash, hang or memory bomb with:
    # each now takes under 2 s and 512 MB through every method.
    result = subprocess.run([sys.executable, "-c", REPLAY, *map(str, REGRESSIONS)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    out = json.loads(result.stdout)
    assert out["grown"] < 512 << 20
    slow = {path: s for path, s in out["seconds"].items() if s >= 2.0}
    assert not slow


class TestResamplerBombs:
    def test_rate_no_audio_has(self):
        # An 8 KB WAV whose header claims 831,397,696 Hz: the resampler's filter for
        # 16 kHz would take 1.7 GB and 8 s to build. It is refused before, and the
        # decoder goes on answering.
        path = str(ROOT / "fuzz" / "regressions" / "wav_rate_831mhz.wav")
        assert ref.stream(path, 0)["sample_rate"] == "831397696"
        d = _av.Decoder(path, "audio")
        with pytest.raises(RuntimeError, match="^audio sample rate out of range: 831397696 Hz$"):
            d.decode_audio(16000, 1)
        assert d.scan() == ref.packets(path, 0)

    @pytest.mark.parametrize("rate, refused", [(172, True), (173, False)])
    def test_reduction_by_more_than_256(self, rate, refused):
        # 44100 Hz may go down to 44100 / 256 = 172.3 Hz and no further.
        d = _av.Decoder(media("audio.wav"), "audio")
        if refused:
            with pytest.raises(ValueError, match="^sample_rate too low for this audio: 44100 Hz "):
                d.decode_audio(rate, 1)
        else:
            ref.assert_close(d.decode_audio(rate, 1)[0], ref.cli(media("audio.wav"), rate, 1))


class TestHostileSizes:
    def test_picture_size_a_header_claims(self, tmp_path):
        # A 3 KB stream that claims 16000x16000 pictures: a hundred of them would be 73
        # GiB, which the kernel might grant and then kill the process for.
        path = tmp_path / "huge.y4m"
        path.write_bytes(b"YUV4MPEG2 W16000 H16000 F25:1 Ip A1:1 C420jpeg\n" +
                         (b"FRAME\n" + bytes(1000)) * 3)
        assert (ref.stream(str(path), 0)["width"], ref.stream(str(path), 0)["height"]) == (16000, 16000)
        d = _av.Decoder(str(path), "video")
        with pytest.raises(MemoryError, match="^video output needs 73243 MiB, more than the "):
            d.decode_video([(i, 0) for i in range(100)], "uint8", True)

    # AddressSanitizer's allocator maps regions of its own and aborts under a data limit.
    @pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                        reason="AddressSanitizer does not run under RLIMIT_DATA")
    def test_more_samples_than_memory_holds(self):
        # An hour of audio at 768 kHz stereo is 21 GiB of floats; with 512 MB left to the
        # process the decode stops at the first growth beyond it, and the decoder goes on.
        script = textwrap.dedent("""
            import resource, sys, _av
            data = int(open("/proc/self/statm").read().split()[5]) * resource.getpagesize()
            resource.setrlimit(resource.RLIMIT_DATA, (data + (512 << 20), resource.RLIM_INFINITY))
            d = _av.Decoder(sys.argv[1], "audio")
            try:
                d.decode_audio(768000, 2)
            except MemoryError as e:
                print(e)
            print(d.decode_audio(16000, 1, 1.0)[0].shape[1])
        """)
        out = subprocess.run([sys.executable, "-c", script, media("long_aac.m4a")],
                             capture_output=True, text=True, timeout=60, check=True).stdout
        message, samples = out.splitlines()
        assert message.startswith("decoded audio needs ")
        assert int(samples) >= 16000
