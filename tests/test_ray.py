"""avarray.ray.read_frames on a local Ray cluster: every row equals what one process gets
from _av for the same file and request, the frames chosen from ffprobe's packet list."""
import fractions
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

import _av
import reference as ref
from conftest import MEDIA, media

# Ray's DataContext sets, when it is made, attributes that it deprecates itself.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning:ray.data.context")

GOOD = sorted(str(p) for p in (MEDIA / "many").iterdir())
BAD = sorted(str(p) for p in (MEDIA / "many_bad").iterdir())


@pytest.fixture(scope="session")
def read_frames():
    """read_frames with a two-CPU Ray cluster running for the whole session."""
    ray = pytest.importorskip("ray", reason="Ray has no release for this Python")
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    ray.data.DataContext.get_current().enable_progress_bars = False
    from avarray.ray import read_frames
    yield read_frames
    ray.shutdown()


def evenly_spread(path, count):
    """(pts, seek point) of `count` packets at the centres of equal parts of ffprobe's
    packet list (all of them when there are fewer)."""
    packets = ref.packets(path, ref.stream_index(path))
    n = len(packets)
    picks = range(n) if n <= count else [int(fractions.Fraction(2 * i + 1, 2 * count) * n)
                                         for i in range(count)]
    return [(packets[i][0], ref.seek_point(path, packets[i][0])) for i in picks]


def showing_at(path, seconds):
    """The pts of the frame ffprobe lists as showing at each second."""
    num, den = ref.time_base(path)
    frames = [pts for pts, _ in ref.video_frames(path)]
    return [max(p for p in frames if fractions.Fraction(num * p, den) <= t) for t in seconds]


def expected(path, num_frames=None, seconds=None, output_dtype="uint8", transforms=()):
    """(pts, frames, starts, durations) from one _av request in this process."""
    decoder = _av.Decoder(path, "video")
    if num_frames:
        targets = evenly_spread(path, num_frames)
        result = decoder.decode_video(targets, output_dtype, True, list(transforms))
        return ([pts for pts, _ in targets], *result)
    return (showing_at(path, seconds),
            *decoder.decode_timestamps(seconds, output_dtype, list(transforms)))


def by_file(rows):
    files = {}
    for row in sorted(rows, key=lambda r: (r["path"], r["pts"])):
        files.setdefault(row["path"], []).append(row)
    return files


def check_rows(rows, request, paths=GOOD, local=lambda path: path):
    files = by_file(rows)
    assert sorted(map(local, files)) == paths
    for path, got in files.items():
        pts, frames, starts, durations = expected(local(path), **request)
        assert [r["pts"] for r in got] == pts, path
        assert [r["start"] for r in got] == starts, path
        assert [r["duration"] for r in got] == durations, path
        pictures = np.stack([r["frame"] for r in got])
        assert pictures.dtype == frames.dtype and np.array_equal(pictures, frames), path


class TestRows:
    def test_directory(self, read_frames):
        request = {"num_frames": 4}
        check_rows(read_frames(str(MEDIA / "many"), **request).take_all(), request)

    def test_glob_every_frame_resized(self, read_frames):
        # More frames than any clip has: each gives all of its frames.
        request = {"num_frames": 40, "output_dtype": "float32",
                   "transforms": [("resize", 0, 0, 24, 32)]}
        rows = read_frames(str(MEDIA / "many" / "*.*"), **request).take_all()
        check_rows(rows, request)

    def test_pyarrow_filesystem_by_seconds(self, read_frames):
        # Clips that start at 0 (MPEG-TS starts at 1.4 s), matched by patterns relative to
        # the filesystem's root.
        import pyarrow.fs
        fs = pyarrow.fs.SubTreeFileSystem(str(MEDIA), pyarrow.fs.LocalFileSystem())
        patterns = ["many/*.mkv", "many/*.mp4", "many/*.webm"]
        request = {"seconds": [0.13, 0.35], "output_dtype": "uint16"}
        rows = read_frames(patterns, filesystem=fs, **request).take_all()
        files = sorted(str(p) for pattern in patterns for p in MEDIA.glob(pattern))
        check_rows(rows, request, files, local=lambda path: str(MEDIA / path))


class TestBadFiles:
    def test_raise_names_the_file(self, read_frames):
        bad = str(MEDIA / "many_bad" / "corrupt_header.mov")
        with pytest.raises(RuntimeError) as opened:
            _av.Decoder(bad, "video")
        with pytest.raises(RuntimeError) as failed:
            read_frames(GOOD[:4] + [bad] + GOOD[4:8], num_frames=2).take_all()
        assert f"cannot read frames from {bad}: {opened.value}" in str(failed.value)

    # Ray's planning groups these files a few to a task; with one task, every bad file
    # shares it with all the good ones.
    @pytest.mark.parametrize("tasks", [None, 1])
    def test_skip_keeps_every_good_file(self, read_frames, tmp_path, tasks):
        # A file that is gone by the time the task opens it, beside ones that _av refuses.
        gone = tmp_path / "gone.mp4"
        gone.write_bytes(pathlib.Path(GOOD[0]).read_bytes())
        ds = read_frames(BAD + [str(gone)] + GOOD, num_frames=2, on_error="skip",
                         override_num_blocks=tasks)
        gone.unlink()
        rows = ds.take_all()
        assert sorted(by_file(rows)) == GOOD
        assert len(rows) == 2 * len(GOOD)

    def test_raise_names_a_file_that_cannot_be_opened(self, read_frames, tmp_path):
        gone = tmp_path / "gone.mp4"
        gone.write_bytes(pathlib.Path(GOOD[0]).read_bytes())
        ds = read_frames(GOOD[:3] + [str(gone)], num_frames=2, override_num_blocks=1)
        gone.unlink()
        with pytest.raises(RuntimeError, match=f"cannot read frames from {gone}: .*"):
            ds.take_all()


class TestPlan:
    """The read tasks Ray is given: how the files are grouped, and the rows and decoded
    bytes Ray plans with."""

    @staticmethod
    def tasks(request, planned=True, parallelism=200):
        from avarray._frames import check_request
        from avarray.ray import _FrameDatasource
        source = _FrameDatasource(GOOD, check_request(**request), "raise", planned=planned)
        return source, source.get_read_tasks(parallelism)

    @pytest.mark.parametrize("planned, parallelism, count", [
        (True, 200, 8),  # four per CPU of the two-CPU cluster, whatever Ray asks
        (True, 1, 8),
        (False, 3, 3),   # override_num_blocks
    ])
    def test_files_grouped(self, read_frames, planned, parallelism, count):
        _, tasks = self.tasks({"num_frames": 4, "seconds": None, "output_dtype": "uint8",
                               "transforms": (), "threads": 1}, planned, parallelism)
        files = [path for task in tasks for path in task.metadata.input_files]
        assert len(tasks) == count and sorted(files) == GOOD
        # No row count: Ray's count() would return it without reading.
        assert all(t.metadata.num_rows is None for t in tasks)

    def test_decoded_size(self, read_frames):
        # Resized: every picture is 24x32 float32 RGB, whatever the file.
        request = {"num_frames": None, "seconds": [0.1, 0.2, 0.3], "output_dtype": "float32",
                   "transforms": [("resize", 0, 0, 24, 32)], "threads": 1}
        source, tasks = self.tasks(request)
        assert [t.metadata.size_bytes for t in tasks] == [
            3 * len(t.metadata.input_files) * 24 * 32 * 3 * 4 for t in tasks]
        assert source.estimate_inmemory_data_size() == 3 * len(GOOD) * 24 * 32 * 3 * 4

    def test_count_reads(self, read_frames):
        # More frames asked for than any clip has, and files that give none.
        assert read_frames(BAD + GOOD, num_frames=1000, on_error="skip").count() == sum(
            len(ref.packets(path, ref.stream_index(path))) for path in GOOD)

    def test_size_of_the_first_file(self, read_frames):
        # Without a resize, the pictures of the first file that opens stand for all.
        source = self.tasks({"num_frames": 2, "seconds": None, "output_dtype": "uint16",
                             "transforms": [("rotate", 1, 0, 0, 0)], "threads": 1})[0]
        stream = ref.stream(GOOD[0], ref.stream_index(GOOD[0]))
        assert source.estimate_inmemory_data_size() == (
            2 * len(GOOD) * stream["width"] * stream["height"] * 6)


@pytest.mark.parametrize("kwargs, exc, message", [
    ({}, ValueError, "exactly one of num_frames and seconds"),
    ({"num_frames": 2, "seconds": [1.0]}, ValueError, "exactly one of num_frames and seconds"),
    ({"num_frames": 0}, ValueError, "num_frames must be at least 1"),
    ({"num_frames": 2.0}, TypeError, "num_frames must be an integer"),
    ({"seconds": [1.0, 0.5]}, ValueError, "strictly increasing"),
    ({"seconds": [-0.5, 1.0]}, ValueError, "non-negative"),
    ({"seconds": []}, ValueError, "at least one time"),
    ({"num_frames": 1, "output_dtype": "UINT8"}, ValueError, "output_dtype must be one of"),
    ({"num_frames": 1, "transforms": [("flip", 0, 0, 0, 0)]}, ValueError, "invalid transform"),
    ({"num_frames": 1, "on_error": "ignore"}, ValueError, "on_error must be 'raise' or 'skip'"),
    ({"num_frames": 1, "fps": 5}, TypeError, "unexpected keyword argument 'fps'"),
])
def test_arguments_fail_at_the_call(kwargs, exc, message):
    ray_frames = pytest.importorskip("avarray.ray", reason="Ray has no release for this Python")
    with pytest.raises(exc, match=message):
        ray_frames.read_frames(GOOD, **kwargs)


@pytest.mark.parametrize("budget_frames, transforms, sizes", [
    (3.5, [], [3, 3, 3, 1]),
    (0.5, [], [1] * 10),  # a picture larger than the budget is a batch of its own
    (5, [("resize", 0, 0, 12, 16)], [5, 5]),
])
def test_batches_within_the_budget(budget_frames, transforms, sizes):
    from avarray._frames import check_request, read_batches
    path = media("many/h264_bframes.mp4")
    height, width = transforms[0][3:] if transforms else (120, 160)
    request = check_request(10, None, "uint8", transforms, 1)
    with open(path, "rb") as f:
        batches = list(read_batches(f, path, request, int(budget_frames * height * width * 3)))
    assert [len(b["pts"]) for b in batches] == sizes
    pts, frames, _, _ = expected(path, num_frames=10, transforms=transforms)
    assert np.concatenate([b["pts"] for b in batches]).tolist() == pts
    assert np.array_equal(np.concatenate([b["frame"] for b in batches]), frames)


def test_import_without_ray():
    code = ("import sys; sys.modules['ray'] = None; import avarray, _av; "
            "print(avarray.__version__ == _av.__version__); import avarray.ray")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.stdout == "True\n" and run.returncode == 1
    assert "During handling" not in run.stderr
    assert re.fullmatch(r"ImportError: avarray.ray needs Ray Data \(ray[.a-z]* is missing\): "
                        r"pip install 'avarray\[ray\]'", run.stderr.splitlines()[-1])
