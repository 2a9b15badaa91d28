import os
import pathlib

import pytest

import _av
import reference

ROOT = pathlib.Path(__file__).resolve().parent.parent
MEDIA = pathlib.Path(os.environ.get("AVARRAY_TEST_MEDIA", ROOT / "build" / "media"))
CORPUS = ROOT.parent / "shared" / "corpus"
SAMPLE = ROOT / "samples" / "sample.mp4"
BFRAMES = "bframes.mp4"  # 160x120, time base 1/12800, a frame every 512, key frames every 6144


def pytest_report_header():
    # Which build runs: the development build, the sanitizer build or an installed wheel.
    return (f"_av: {_av.__file__} (FFmpeg {_av.ffmpeg_version}); "
            f"reference tools: {reference.FFPROBE} (FFmpeg {reference.version()})")


def pytest_sessionstart(session):
    # Expected values differ between FFmpeg versions: they must come from the tools of
    # the version the module links.
    if reference.version() != _av.ffmpeg_version:
        raise pytest.UsageError(
            f"the reference tools ({reference.FFPROBE}) are FFmpeg {reference.version()}, the "
            f"module links {_av.ffmpeg_version}: set AVARRAY_REFERENCE_TOOLS (make test does)")


def media(name):
    """Path of a clip made by scripts/make-test-media.sh."""
    path = MEDIA / name
    if not path.exists():
        pytest.fail(f"test clip {path} is missing: run `make media`")
    return str(path)


def corpus(name):
    path = CORPUS / name
    if not path.exists():
        pytest.skip(f"corpus file {path} is not available")
    return str(path)


def media_bytes(name):
    return pathlib.Path(media(name)).read_bytes()


def clip(name):
    """A test clip by name: an absolute path as it is, a corpus file, or a made clip."""
    if name.startswith("/"):
        return name
    return corpus(name) if (CORPUS / name).exists() else media(name)


def open_video(name, **kwargs):
    return _av.Decoder(media(name), "video", **kwargs)


def rss_kib():
    """This process's resident memory."""
    with open(f"/proc/{os.getpid()}/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024
