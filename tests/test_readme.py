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
    # Big enough for the README's 512x512 crop at row 100, column 200, with its targets'
    # time base and key frames.
    clip = str(tmp_path / "clip.mp4")
    reference.pattern_clip(clip, 1280, 720, 2)
    readme_examples.api(str(SAMPLE), SAMPLE.read_bytes(), stream_index=0)
    readme_examples.inspection(clip)
    readme_examples.video_frames(clip)
    readme_examples.audio(str(SAMPLE))
