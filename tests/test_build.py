"""A source build against an FFmpeg the module does not support stops at configure with one
line that names what was found and what is supported."""
import os
import shutil
import subprocess
import sys

import pytest

from conftest import ROOT

CMAKE = shutil.which("cmake", path=os.path.dirname(sys.executable)) or shutil.which("cmake")

# libavformat, libavcodec, libavutil, libswscale, libswresample of FFmpeg 6.1 and of a
# release after 9.x.
RELEASES = {
    "6.x": ("60.16.100", "60.31.102", "58.29.100", "7.5.100", "4.12.100"),
    "10.x": ("64.0.100", "64.0.100", "62.0.100", "11.0.100", "8.0.100"),
}


@pytest.mark.skipif(CMAKE is None, reason="no cmake on this machine")
@pytest.mark.parametrize("release", RELEASES)
def test_unsupported_ffmpeg_is_refused(tmp_path, release):
    pc = tmp_path / "pkgconfig"
    pc.mkdir()
    names = ("libavformat", "libavcodec", "libavutil", "libswscale", "libswresample")
    for name, version in zip(names, RELEASES[release]):
        (pc / f"{name}.pc").write_text(f"Name: {name}\nDescription: -\nVersion: {version}\n"
                                       "Libs: -L/nonexistent\nCflags: -I/nonexistent\n")
    env = {**os.environ, "PKG_CONFIG_PATH": str(pc), "PKG_CONFIG_LIBDIR": str(pc)}
    result = subprocess.run([CMAKE, "-S", str(ROOT), "-B", str(tmp_path / "build"),
                             f"-DPython_EXECUTABLE={sys.executable}"],
                            env=env, capture_output=True, text=True)
    assert result.returncode != 0
    lines = [line.strip() for line in result.stderr.splitlines() if "avarray supports" in line]
    assert lines == [f"avarray supports FFmpeg 7.1 to 9.x (libavformat 61.7 to 63.x); "
                     f"pkg-config finds FFmpeg {release}: libavformat {RELEASES[release][0]}, "
                     f"libavcodec {RELEASES[release][1]}, libavutil {RELEASES[release][2]}, "
                     f"libswscale {RELEASES[release][3]}, libswresample {RELEASES[release][4]}"]


def includes(folder):
    """{file: the project headers it includes} for the C++ files under src/<folder>."""
    found = {}
    for path in sorted((ROOT / "src" / folder).rglob("*.[ch]pp")):
        lines = path.read_text().splitlines()
        found[path.relative_to(ROOT / "src").as_posix()] = [
            line.split('"')[1] for line in lines if line.startswith('#include "')]
    return found


def test_layers_point_one_way():
    # The media side never reaches into the Python side; the engine serves audio and video
    # alike and knows nothing of pictures, samples or arrays.
    shared = {"ffmpeg/error.hpp", "ffmpeg/ptr.hpp", "ffmpeg/timing.hpp"}
    media = includes("ffmpeg")
    assert media and not {f: h for f, hs in media.items() for h in hs if h.startswith("python/")}
    engine = {f: [h for h in hs if not h.startswith("ffmpeg/engine/") and h not in shared]
              for f, hs in includes("ffmpeg/engine").items()}
    assert engine and not any(engine.values()), engine
