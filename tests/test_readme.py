import os
import pathlib
import subprocess
import sys

import _av
import readme_examples
import reference
from conftest import SAMPLE

EXAMPLES = pathlib.Path(readme_examples.__file__)


def test_examples_type_check_strictly(tmp_path):
    # Against the stubs beside the module, as a user's type checker sees them: an installed
    # module's in site-packages, a build in the tree's through MYPYPATH.
    env = dict(os.environ)
    if "site-packages" not in _av.__file__:
        env["MYPYPATH"] = os.path.dirname(_av.__file__)
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path), str(EXAMPLES)],
        capture_output=True, text=True, env=env)
    assert result.returncode == 0, result.stdout + result.stderr


def test_examples_run(tmp_path):
    # The README's clip: 320x240 at 25 fps, time base 1/12800, key frames at 0, 1 and 2 s.
    clip = str(tmp_path / "clip.mp4")
    reference.pattern_clip(clip, 320, 240, 3)
    sample = str(SAMPLE)
    audio = next(s for s in reference.streams(sample)["streams"] if s["codec_type"] == "audio")
    readme_examples.api(sample, SAMPLE.read_bytes(), stream_index=0)
    readme_examples.inspection(clip)
    readme_examples.video_frames(clip)
    readme_examples.audio(sample, float(audio["duration"]))
