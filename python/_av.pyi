# Type stubs of the extension module _av (installed beside it).
from collections.abc import Sequence
from typing import Literal, Protocol, TypedDict, TypeVar, final, overload, type_check_only

import numpy as np
from typing_extensions import NotRequired, Self, TypeAlias

__version__: str
ffmpeg_version: str
# Each output_dtype, with the most bytes one pixel of it takes in an array.
output_dtypes: dict[str, int]

@type_check_only
class _Readable(Protocol):
    # What a file-like source must have; the module calls read(size) and seek(offset, whence).
    def read(self, size: int, /) -> bytes: ...
    def seek(self, offset: int, whence: int, /) -> int: ...

@type_check_only
class _Metadata(TypedDict):
    stream_index: int
    media_type: Literal["video", "audio"]
    time_base_num: int
    time_base_den: int
    codec: str | None
    bit_rate: float
    duration_seconds_from_header: float | None
    container_duration: float | None
    begin_stream_seconds_from_header: float | None
    # audio streams
    sample_rate: NotRequired[int]
    num_channels: NotRequired[int]
    sample_format: NotRequired[str | None]
    # video streams
    width: NotRequired[int]
    height: NotRequired[int]
    num_frames_from_header: NotRequired[int | None]
    average_fps_from_header: NotRequired[float | None]
    pixel_aspect_ratio: NotRequired[tuple[int, int]]
    pixel_format: NotRequired[str | None]
    bit_depth: NotRequired[int | None]
    color_range: NotRequired[str | None]
    color_space: NotRequired[str | None]
    color_primaries: NotRequired[str | None]
    color_transfer_characteristic: NotRequired[str | None]
    rotation: NotRequired[float | None]

_S = TypeVar("_S", bound=np.generic)
_Sample: TypeAlias = np.uint8 | np.uint16 | np.float32
# (N, H, W, C) pictures, with the start and duration in seconds of each.
_Frames: TypeAlias = tuple[
    np.ndarray[tuple[int, int, int, int], np.dtype[_S]], list[float], list[float]
]
_Transform: TypeAlias = tuple[str, int, int, int, int]
_Targets: TypeAlias = Sequence[tuple[int, int]]

@final
class Decoder:
    def __new__(
        cls,
        source: str | bytes | _Readable,
        media_type: Literal["video", "audio"],
        stream_index: int | None = None,
        threads: int = 1,
    ) -> Self: ...
    def metadata(self, apply_rotation: bool = True) -> _Metadata: ...
    def scan(self) -> list[tuple[int, int, bool]]: ...
    @overload
    def decode_video(
        self, targets: _Targets, output_dtype: Literal["uint8"], exact: bool,
        transforms: Sequence[_Transform] = ...,
    ) -> _Frames[np.uint8]: ...
    @overload
    def decode_video(
        self, targets: _Targets, output_dtype: Literal["uint16"], exact: bool,
        transforms: Sequence[_Transform] = ...,
    ) -> _Frames[np.uint16]: ...
    @overload
    def decode_video(
        self, targets: _Targets, output_dtype: Literal["float32"], exact: bool,
        transforms: Sequence[_Transform] = ...,
    ) -> _Frames[np.float32]: ...
    @overload
    def decode_video(
        self, targets: _Targets, output_dtype: str, exact: bool,
        transforms: Sequence[_Transform] = ...,
    ) -> _Frames[_Sample]: ...
    @overload
    def decode_timestamps(
        self, seconds: Sequence[float], output_dtype: Literal["uint8"],
        transforms: Sequence[_Transform] = ...,
    ) -> _Frames[np.uint8]: ...
    @overload
    def decode_timestamps(
        self, seconds: Sequence[float], output_dtype: Literal["uint16"],
        transforms: Sequence[_Transform] = ...,
    ) -> _Frames[np.uint16]: ...
    @overload
    def decode_timestamps(
        self, seconds: Sequence[float], output_dtype: Literal["float32"],
        transforms: Sequence[_Transform] = ...,
    ) -> _Frames[np.float32]: ...
    @overload
    def decode_timestamps(
        self, seconds: Sequence[float], output_dtype: str,
        transforms: Sequence[_Transform] = ...,
    ) -> _Frames[_Sample]: ...
    def decode_audio(
        self, sample_rate: int, channels: int, stop: float | None = None
    ) -> tuple[np.ndarray[tuple[int, int], np.dtype[np.float32]], float]: ...
    def close(self) -> None: ...
