"""Frames from many video files as a Ray Data dataset, decoded by `_av` in Ray's workers.

    ds = avarray.ray.read_frames("s3://bucket/videos/", num_frames=10)

Ray reads each file (through pyarrow, so any filesystem Ray's readers take) and the worker
that reads it opens its own `_av.Decoder` on it; only the request travels to the workers.
Files are grouped into a few read tasks per CPU of the cluster: Ray Data pays a fixed cost
per task in its scheduling loop, which would otherwise be paid once per short file.
"""
import dataclasses
import fnmatch
import glob
import inspect
import logging
import os
import re

try:
    import ray.data
    from ray.data.block import BlockAccessor
    from ray.data.context import DEFAULT_TARGET_MAX_BLOCK_SIZE, DataContext
    from ray.data.datasource import FileBasedDatasource, ReadTask
except ImportError as exc:
    raise ImportError(f"avarray.ray needs Ray Data ({exc.name} is missing): "
                      f"pip install 'avarray[ray]'") from None

import _av
from avarray._frames import check_request, frame_bytes, read_batches

__all__ = ["read_frames"]

logger = logging.getLogger(__name__)

# Keyword arguments of Ray's file readers that choose and list the files; every other
# keyword goes to `ray.data.read_datasource` (concurrency, num_cpus, ray_remote_args, ...).
_FILE_ARGS = ("filesystem", "partition_filter", "partitioning", "ignore_missing_paths",
              "shuffle", "include_paths", "file_extensions")
_READ_ARGS = tuple(name for name, p in
                   inspect.signature(ray.data.read_datasource).parameters.items()
                   if p.kind is p.KEYWORD_ONLY)
# Read tasks per CPU slot: enough that the slots stay busy to the end when files take
# unequal times, few enough that Ray's fixed cost per task (tens of milliseconds in its
# scheduling loop, plus an idle gap on the worker) stays small beside the decoding.
TASKS_PER_SLOT = 4


def read_frames(paths, *, num_frames=None, seconds=None, output_dtype="uint8", transforms=(),
                threads=1, on_error="raise", **ray_read_args):
    """A dataset with one row per frame: `path`, `frame` (H x W x C), `pts`, and `start` and
    `duration` in seconds.

    `num_frames=N`: N frames of each file's video stream, evenly spread over its packets
    in presentation order (every frame when it has fewer), decoded exactly from the key
    frame before each. `seconds=[...]`: the frames showing at those times
    (`Decoder.decode_timestamps`). `output_dtype`, `transforms` and `threads` are those
    of `_av`. `on_error="raise"` fails the job on a file that cannot be read, naming it;
    `"skip"` logs the file and the reason, counts it in the Ray metric
    `avarray_skipped_files`, and goes on. Other keywords are those of Ray's file readers
    (`filesystem`, `file_extensions`, `shuffle`, ...) and of `ray.data.read_datasource`
    (`concurrency`, `num_cpus`, `override_num_blocks`, ...). The files are grouped into
    `TASKS_PER_SLOT` read tasks per CPU slot of the cluster (or one per file when there
    are fewer); `override_num_blocks=N` makes N read tasks instead.
    """
    request = check_request(num_frames, seconds, output_dtype, transforms, threads)
    if on_error not in ("raise", "skip"):
        raise ValueError(f"on_error must be 'raise' or 'skip', got {on_error!r}")
    unknown = sorted(set(ray_read_args) - set(_FILE_ARGS) - set(_READ_ARGS))
    if unknown:
        raise TypeError(f"read_frames() got an unexpected keyword argument {unknown[0]!r}")
    file_args = {k: v for k, v in ray_read_args.items() if k in _FILE_ARGS}
    read_args = {k: v for k, v in ray_read_args.items() if k not in _FILE_ARGS}
    paths = _expand_patterns(paths, file_args.get("filesystem"))
    slot_cpus = read_args.get("num_cpus") or 1
    source = _FrameDatasource(paths, request, on_error,
                              planned=read_args.get("override_num_blocks") is None,
                              slot_cpus=slot_cpus, **file_args)
    return ray.data.read_datasource(source, **read_args)


def _expand_patterns(paths, filesystem):
    """`paths` with each glob pattern replaced by the files it matches, in sorted order:
    Ray's file readers take files and directories only. A pattern that matches nothing
    raises FileNotFoundError, like a missing path."""
    out = []
    for path in [paths] if isinstance(paths, (str, os.PathLike)) else paths:
        path = os.fspath(path)
        if not re.search(r"[*?[]", path):
            out.append(path)
            continue
        if filesystem is None and "://" not in path:
            matches = glob.glob(path, recursive=True)
        else:
            matches = _match_on(filesystem, path)
        if not matches:
            raise FileNotFoundError(f"no files match {path!r}")
        out.extend(sorted(matches))
    return out


def _match_on(filesystem, pattern):
    """The files of a pyarrow filesystem (the one the URI names when `filesystem` is None)
    that `pattern` matches; `*` and `?` stay within one directory, `**` crosses them."""
    import pyarrow.fs
    scheme = ""
    if filesystem is None:
        filesystem, path = pyarrow.fs.FileSystem.from_uri(pattern)
        scheme = pattern[:pattern.index("://") + 3]
        pattern = path
    base = pattern[:re.search(r"[*?[]", pattern).start()].rpartition("/")[0]
    listing = filesystem.get_file_info(pyarrow.fs.FileSelector(base, recursive=True))
    return [scheme + f.path for f in listing if f.type == pyarrow.fs.FileType.File
            and _matches(f.path, pattern)]


def _matches(path, pattern):
    if "**" not in pattern:
        return path.count("/") == pattern.count("/") and fnmatch.fnmatchcase(path, pattern)
    # As in glob, "**/" also stands for no directory at all.
    return any(fnmatch.fnmatchcase(path, p) for p in (pattern, pattern.replace("**/", "")))


class _FrameDatasource(FileBasedDatasource):
    def __init__(self, paths, request, on_error, planned=True, slot_cpus=1, **file_args):
        super().__init__(paths, **file_args)
        self._request = request
        self._on_error = on_error
        self._planned = planned
        self._slot_cpus = slot_cpus
        self._frame_size = None  # bytes of one output picture, once known

    def get_name(self):
        return "Frames"

    def _frames_per_file(self):
        # At most: a file with fewer frames than `num_frames` gives all it has, and a
        # skipped file none. So Ray is told no row count (it would answer count() with
        # it, unread), only the bytes to plan with.
        request = self._request
        return request.num_frames if request.seconds is None else len(request.seconds)

    def estimate_inmemory_data_size(self):
        # What the files yield, decoded: many times their size on disk, which is all
        # that Ray would know of them.
        size = self._output_frame_bytes()
        return None if size is None else len(self._paths()) * self._frames_per_file() * size

    def get_read_tasks(self, parallelism, per_task_row_limit=None, data_context=None):
        if self._planned:
            parallelism = self._planned_tasks()
        tasks = super().get_read_tasks(parallelism, per_task_row_limit=per_task_row_limit,
                                       data_context=data_context)
        size = self._output_frame_bytes()
        if size is None:
            return tasks
        per_file = self._frames_per_file() * size
        return [ReadTask(t.read_fn, dataclasses.replace(
                    t.metadata, size_bytes=len(t.metadata.input_files) * per_file),
                    schema=t.schema, per_task_row_limit=t.per_task_row_limit)
                for t in tasks]

    def _planned_tasks(self):
        """TASKS_PER_SLOT read tasks for each task the cluster runs at once, one file at
        least in each. Ray's own choice, about one task per file for short files (it plans
        by their size on disk), runs workers in turn: the scheduling loop's cost per task
        is about what decoding a few frames of a file costs."""
        cpus = ray.cluster_resources().get("CPU", 1)
        slots = max(1, int(cpus / self._slot_cpus))
        return max(1, min(len(self._paths()), TASKS_PER_SLOT * slots))

    def _output_frame_bytes(self):
        """The size of one output picture: fixed by a crop or resize, otherwise that of the
        first file that opens (of the first few); None when none does."""
        if self._frame_size is None:
            request = self._request
            if any(step[0] in ("crop", "resize") for step in request.transforms):
                self._frame_size = frame_bytes(0, 0, request.output_dtype, request.transforms)
            else:
                self._frame_size = self._probe_frame_bytes()
        return self._frame_size or None

    def _probe_frame_bytes(self):
        request = self._request
        for path in self._paths()[:3]:
            try:
                with self._filesystem.open_input_file(path) as f:
                    decoder = _av.Decoder(f, "video")
                    try:
                        meta = decoder.metadata(apply_rotation=False)
                    finally:
                        decoder.close()
            except (OSError, RuntimeError, ValueError):
                continue
            return frame_bytes(meta["width"], meta["height"], request.output_dtype,
                               request.transforms)
        return 0

    def _open_input_source(self, filesystem, path, **open_args):
        # A random-access file rather than Ray's sequential stream: the decoder seeks to
        # each request's key frames, and nothing holds the whole file in memory. A file
        # that cannot be opened is skipped like one that cannot be decoded, so that it
        # does not take the other files of its read task with it.
        try:
            return filesystem.open_input_file(path)
        except OSError as exc:
            if self._on_error == "raise":
                raise RuntimeError(f"cannot read frames from {path}: {exc}") from exc
            return _Unopened(exc)

    def _read_stream(self, f, path):
        if isinstance(f, _Unopened):
            _skip(path, f.error)
            return
        # One block per batch of frames, each within the block size, so that a worker
        # holds about one block of pictures however large or long the file is.
        limit = DataContext.get_current().target_max_block_size or DEFAULT_TARGET_MAX_BLOCK_SIZE
        batches = read_batches(f, path, self._request, limit)
        while True:
            try:
                batch = next(batches, None)
            except (RuntimeError, ValueError) as exc:
                if self._on_error == "raise":
                    raise RuntimeError(f"cannot read frames from {path}: {exc}") from exc
                _skip(path, exc)
                return
            if batch is None:
                return
            yield BlockAccessor.batch_to_block(batch)


class _Unopened:
    """Stands for a file that could not be opened, in the file's place (a context manager
    like it), so that reading it skips it."""
    def __init__(self, error):
        self.error = error

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        return False


_skipped_files = None


def _skip(path, exc):
    global _skipped_files
    logger.warning("skipped %s: %s", path, exc)
    if _skipped_files is None:
        from ray.util.metrics import Counter
        _skipped_files = Counter("avarray_skipped_files",
                                 description="Files that avarray.ray.read_frames skipped")
    _skipped_files.inc()
