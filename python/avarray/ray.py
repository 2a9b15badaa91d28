"""Frames from many video files as a Ray Data dataset, decoded by `_av` in Ray's workers.

    ds = avarray.ray.read_frames("s3://bucket/videos/", num_frames=10)

Ray reads each file (through pyarrow, so any filesystem Ray's readers take) and the worker
that reads it opens its own `_av.Decoder` on it; only the request travels to the workers.
"""
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
    from ray.data.datasource import FileBasedDatasource
except ImportError as exc:
    raise ImportError(f"avarray.ray needs Ray Data ({exc.name} is missing): "
                      f"pip install 'avarray[ray]'") from None

from avarray._frames import check_request, read_batches

__all__ = ["read_frames"]

logger = logging.getLogger(__name__)

# Keyword arguments of Ray's file readers that choose and list the files; every other
# keyword goes to `ray.data.read_datasource` (concurrency, num_cpus, ray_remote_args, ...).
_FILE_ARGS = ("filesystem", "partition_filter", "partitioning", "ignore_missing_paths",
              "shuffle", "include_paths", "file_extensions")
_READ_ARGS = tuple(name for name, p in
                   inspect.signature(ray.data.read_datasource).parameters.items()
                   if p.kind is p.KEYWORD_ONLY)


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
    (`concurrency`, `num_cpus`, `override_num_blocks`, ...).
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
    source = _FrameDatasource(paths, request, on_error, **file_args)
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
    def __init__(self, paths, request, on_error, **file_args):
        super().__init__(paths, **file_args)
        self._request = request
        self._on_error = on_error

    def get_name(self):
        return "Frames"

    def _open_input_source(self, filesystem, path, **open_args):
        # A random-access file rather than Ray's sequential stream: the decoder seeks to
        # each request's key frames, and nothing holds the whole file in memory.
        return filesystem.open_input_file(path)

    def _read_stream(self, f, path):
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


_skipped_files = None


def _skip(path, exc):
    global _skipped_files
    logger.warning("skipped %s: %s", path, exc)
    if _skipped_files is None:
        from ray.util.metrics import Counter
        _skipped_files = Counter("avarray_skipped_files",
                                 description="Files that avarray.ray.read_frames skipped")
    _skipped_files.inc()
