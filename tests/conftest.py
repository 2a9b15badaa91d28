import os
import pathlib

import pytest

import _av
import reference

ROOT = pathlib.Path(__file__).resolve().parent.parent
MEDIA = pathlib.Path(os.environ.get("AVARRAY_TEST_MEDIA", ROOT / "build" / "media"))
# Real files from phones, broadcasts and other projects, kept beside the repository.
CORPUS = pathlib.Path(os.environ.get("AVARRAY_TEST_CORPUS", ROOT.parent / "shared" / "corpus"))
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
    """Path of a corpus file. A clone with no corpus beside it skips the tests that read
    one; a corpus that lacks the file fails them."""
    if not CORPUS.is_dir():
        pytest.skip(f"the corpus folder {CORPUS} is missing (AVARRAY_TEST_CORPUS names another)")
    path = CORPUS / name
    if not path.exists():
        pytest.fail(f"corpus file {path} is missing")
    return str(path)


def media_bytes(name):
    return pathlib.Path(media(name)).read_bytes()


def clip(name):
    """A test clip by name: an absolute path as it is, "corpus/NAME" a corpus file, or
    else a made clip."""
    if name.startswith("/"):
        return name
    if name.startswith("corpus/"):
        return corpus(name.removeprefix("corpus/"))
    return media(name)


def open_video(name, **kwargs):
    return _av.Decoder(media(name), "video", **kwargs)


def rss_kib():
    """This process's resident memory."""
    with open(f"/proc/{os.getpid()}/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024
