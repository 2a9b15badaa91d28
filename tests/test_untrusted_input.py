"""Bytes and file-like sources must not reach anything outside the given bytes, even
when the bytes are a playlist, a concat list, a manifest or a session description."""
import io
import os
import socket
import subprocess
import sys
import textwrap

import pytest

import _av
from conftest import SAMPLE, media, media_bytes

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
