import importlib
import inspect
import re
import subprocess
import sys

import pytest

import _av
import reference as ref


def test_versions():
    assert _av.__version__ == "0.4.1"
    assert isinstance(_av.ffmpeg_version, str)
    assert re.fullmatch(r"(7\.1|8\.1|9\.0)\.\d+", _av.ffmpeg_version)
    names = [n for n in vars(_av) if n in ("Decoder", "ffmpeg_version", "__version__")]
    assert names == ["Decoder", "ffmpeg_version", "__version__"]


def test_linked_ffmpeg_is_the_reported_one():
    # The libraries the module loaded are the ones whose version it reports.
    with open("/proc/self/maps") as f:
        maps = f.read()
    # libavcodec.so.MAJOR, or its copy in the wheel: libavcodec-<hash>.so.MAJOR.<minor>.<micro>,
    # MAJOR as the reference tools of the same version report it.
    major = ref.library_versions()["libavcodec"][0]
    assert re.search(rf"/libavcodec(-[0-9a-f]{{8}})?\.so\.{major}\b", maps)


@pytest.mark.parametrize(
    "obj, text",
    [
        (_av.Decoder, "(source, media_type, stream_index=None, threads=1)"),
        (_av.Decoder.metadata, "($self, apply_rotation=True)"),
        (_av.Decoder.scan, "($self)"),
        (_av.Decoder.decode_video, "($self, targets, output_dtype, exact, transforms=...)"),
        (_av.Decoder.decode_timestamps, "($self, seconds, output_dtype, transforms=...)"),
        (_av.Decoder.decode_audio, "($self, sample_rate, channels, stop=None)"),
        (_av.Decoder.close, "($self)"),
    ],
)
def test_text_signatures(obj, text):
    assert obj.__text_signature__ == text
    inspect.signature(obj)  # introspection understands it


def test_signature_parameters():
    assert list(inspect.signature(_av.Decoder).parameters) == [
        "source", "media_type", "stream_index", "threads"]
    params = inspect.signature(_av.Decoder.metadata).parameters
    assert params["apply_rotation"].default is True


def test_class_shape():
    assert _av.Decoder.__module__ == "builtins"
    assert _av.Decoder.__name__ == "Decoder"
    assert [m for m in ("metadata", "scan", "decode_video", "decode_timestamps",
                        "decode_audio", "close") if hasattr(_av.Decoder, m)] == [
        "metadata", "scan", "decode_video", "decode_timestamps", "decode_audio", "close"]
    with pytest.raises(TypeError):
        class Sub(_av.Decoder):
            pass


def test_import_twice_gives_the_same_module():
    assert importlib.import_module("_av") is _av


def test_sub_interpreter_refused():
    code = (
        "import _av\n"
        "try:\n"
        "    import _xxsubinterpreters as s\n"
        "    i = s.create()\n"
        "except ImportError:\n"  # 3.13 renamed it; a legacy interpreter reaches the module's check
        "    import _interpreters as s\n"
        "    i = s.create('legacy')\n"
        "try:\n"
        "    failure = s.run_string(i, 'import _av')\n"  # 3.13 returns the failure
        "    print(failure.formatted if failure else 'imported')\n"
        "except Exception as e:\n"
        "    print(type(e).__name__, e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert "ImportError" in out.stdout
