"""Paths and URLs that FFmpeg opens itself, against real servers on 127.0.0.1."""
import shutil
import time

import numpy as np
import pytest

import _av
from conftest import SAMPLE
from servers import make_certificate, refused_url, serve, silent_server


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    """A directory with the sample clip, and certificates made for this run."""
    root = tmp_path_factory.mktemp("site")
    shutil.copy(SAMPLE, root / "clip.mp4")
    certs = tmp_path_factory.mktemp("certs")
    return {
        "dir": str(root),
        "trusted": make_certificate(certs, "localhost", "IP:127.0.0.1,DNS:localhost"),
        "other_host": make_certificate(certs, "elsewhere", "DNS:elsewhere.example"),
    }


def results(source):
    """What the URL tests compare with the local file: packets, one exact frame, audio."""
    video = _av.Decoder(source, "video")
    packets = video.scan()
    frames, starts, _ = video.decode_video([(packets[-3][0], packets[0][0])], "uint8", True)
    samples, start = _av.Decoder(source, "audio").decode_audio(16000, 1)
    return packets, frames, starts, samples, start


def assert_same(got, expected):
    for a, b in zip(got, expected):
        if isinstance(a, np.ndarray):
            np.testing.assert_array_equal(a, b)
        else:
            assert a == b


@pytest.fixture(scope="module")
def local():
    return results(str(SAMPLE))


class TestReads:
    @pytest.mark.parametrize("ranges", [True, False], ids=["ranges", "no-ranges"])
    def test_http_equals_the_local_file(self, site, local, ranges):
        # A server that ignores Range is read forward through FFmpeg's cache protocol.
        with serve(site["dir"], ranges=ranges) as base:
            assert_same(results(f"{base}/clip.mp4"), local)

    def test_https_with_the_ca_in_ssl_cert_file(self, site, local, monkeypatch):
        monkeypatch.setenv("SSL_CERT_FILE", site["trusted"][0])
        with serve(site["dir"], tls=site["trusted"]) as base:
            assert_same(results(f"{base}/clip.mp4"), local)

    def test_redirect_to_https(self, site, local, monkeypatch):
        monkeypatch.setenv("SSL_CERT_FILE", site["trusted"][0])
        with serve(site["dir"], tls=site["trusted"]) as target, \
             serve(site["dir"], redirect_to=target) as base:
            assert_same(results(f"{base}/redirect/clip.mp4"), local)


class TestVerification:
    @pytest.mark.parametrize(
        "certificate, trust, reason",
        [
            ("trusted", None, "tls: Peer certificate failed verification"),
            ("other_host", "other_host", "tls: The certificate's owner does not match hostname 127.0.0.1"),
        ],
        ids=["self-signed", "other-host"],
    )
    @pytest.mark.parametrize("redirected", [False, True], ids=["direct", "redirected"])
    def test_certificate_that_does_not_verify(self, site, monkeypatch, certificate, trust, reason,
                                              redirected):
        if trust:
            monkeypatch.setenv("SSL_CERT_FILE", site[trust][0])
        else:
            monkeypatch.delenv("SSL_CERT_FILE", raising=False)
        with serve(site["dir"], tls=site[certificate]) as target, \
             serve(site["dir"], redirect_to=target) as plain:
            url = f"{plain}/redirect/clip.mp4" if redirected else f"{target}/clip.mp4"
            begin = time.monotonic()
            with pytest.raises(RuntimeError, match=f"^open input: .*\\({reason}; CA bundle: "):
                _av.Decoder(url, "video")
            assert time.monotonic() - begin < 1


class TestUnreachable:
    def test_refused(self):
        with pytest.raises(RuntimeError, match="^open input: Connection refused"):
            _av.Decoder(refused_url(), "video")

    def test_silent_server_times_out(self):
        # rw_timeout: 30 seconds without an answer.
        begin = time.monotonic()
        with silent_server() as url, pytest.raises(RuntimeError, match="^open input: Connection timed out"):
            _av.Decoder(url, "video")
        assert 29 < time.monotonic() - begin < 40
