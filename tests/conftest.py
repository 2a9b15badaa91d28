import os
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
MEDIA = pathlib.Path(os.environ.get("AVARRAY_TEST_MEDIA", ROOT / "build" / "media"))
CORPUS = ROOT.parent / "shared" / "corpus"
SAMPLE = ROOT / "samples" / "sample.mp4"


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
