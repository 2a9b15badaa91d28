"""The adapters of the peers a user would pick instead of the module: PyAV, decord, torchcodec and
OpenCV (see bench/tools.py for what every adapter does and returns)."""
import math
import re

import numpy as np

from tools import Unavailable


class PyAV:
    name = "PyAV"

    def __init__(self, threads):
        import av
        self.av, self.threads = av, threads

    def version(self):
        return self.av.__version__, self.av.ffmpeg_version_info

    def _open(self, path):
        container = self.av.open(str(path))
        stream = container.streams.video[0]
        if self.threads == 1:
            stream.thread_type, stream.thread_count = "NONE", 1
        else:
            stream.thread_type, stream.thread_count = "AUTO", 0
        return container, stream

    def _rgb(self, frame, size=None):
        h, w = size or (None, None)
        return frame.to_ndarray(format="rgb24", width=w, height=h, threads=self.threads)

    def first_frame(self, path):
        return self.first_n(path, 1)

    def first_n(self, path, n=None):
        container, stream = self._open(path)
        frames, starts = [], []
        with container:
            for frame in container.decode(stream):
                frames.append(self._rgb(frame))
                starts.append(float(frame.time))
                if len(frames) == n:
                    break
        return frames, starts

    def _seek_decode(self, container, stream, target):
        """The accurate-seek recipe: seek back to the key frame before `target`, decode forward
        keeping the last frame that starts at or before it and the first one after."""
        container.seek(target, stream=stream, backward=True, any_frame=False)
        last = None
        for frame in container.decode(stream):
            if frame.pts > target:
                return last, frame
            last = frame
        return last, None

    def frames_at(self, path, indices, size=None):
        container, stream = self._open(path)
        start = stream.start_time or 0
        step = 1 / (stream.average_rate * stream.time_base)
        frames, starts = [], []
        with container:
            for i in indices:
                target = start + round(i * step)
                last, after = self._seek_decode(container, stream, target)
                frame = last if last is not None and last.pts == target else after or last
                frames.append(self._rgb(frame, size))
                starts.append(float(frame.time))
        return frames, starts

    def played_at(self, path, seconds):
        container, stream = self._open(path)
        frames, starts = [], []
        with container:
            for t in seconds:
                last, after = self._seek_decode(container, stream, math.floor(t / stream.time_base))
                frame = last or after
                frames.append(self._rgb(frame))
                starts.append(float(frame.time))
        return frames, starts

    def audio(self, path, rate):
        container = self.av.open(str(path))
        resampler = self.av.AudioResampler(format="flt", layout="mono", rate=rate)
        chunks, start = [], None
        with container:
            for frame in container.decode(container.streams.audio[0]):
                if start is None:
                    start = float(frame.time)
                chunks.extend(f.to_ndarray() for f in resampler.resample(frame))
            chunks.extend(f.to_ndarray() for f in resampler.resample(None))
        return np.concatenate(chunks, axis=1)[0], start


class Decord:
    name = "decord"

    def __init__(self, threads):
        import decord
        self.decord, self.threads = decord, threads

    def version(self):
        return self.decord.__version__, None

    def _open(self, path, size=None):
        h, w = size or (-1, -1)
        return self.decord.VideoReader(str(path), ctx=self.decord.cpu(0), width=w, height=h,
                                       num_threads=self.threads)

    def first_frame(self, path):
        reader = self._open(path)
        return [reader[0].asnumpy()], [float(reader.get_frame_timestamp([0])[0][0])]

    def _batch(self, reader, indices):
        indices = list(indices)
        return reader.get_batch(indices).asnumpy(), reader.get_frame_timestamp(indices)[:, 0].tolist()

    def first_n(self, path, n=None):
        reader = self._open(path)
        return self._batch(reader, range(min(n or len(reader), len(reader))))

    def frames_at(self, path, indices, size=None):
        return self._batch(self._open(path, size), indices)

    def played_at(self, path, seconds):
        reader = self._open(path)
        starts = reader.get_frame_timestamp(range(len(reader)))[:, 0]
        return self._batch(reader, [max(int(np.searchsorted(starts, t, side="right")) - 1, 0)
                                    for t in seconds])

    def audio(self, path, rate):
        reader = self.decord.AudioReader(str(path), ctx=self.decord.cpu(0), sample_rate=rate, mono=True)
        return reader[:].asnumpy()[0], 0.0


class TorchCodec:
    name = "torchcodec"

    def __init__(self, threads):
        import torch
        import torchcodec
        from torchcodec import decoders, transforms
        self.torch, self.torchcodec, self.decoders, self.transforms = torch, torchcodec, decoders, transforms
        self.threads, self.default_threads = threads, torch.get_num_threads()

    def configure(self):
        self.torch.set_num_threads(1 if self.threads == 1 else self.default_threads)

    def version(self):
        from torchcodec import _core
        versions = _core.get_ffmpeg_library_versions()
        return self.torchcodec.__version__, versions.get("ffmpeg_version")

    def _open(self, path, size=None):
        transforms = [self.transforms.Resize(size)] if size else None
        return self.decoders.VideoDecoder(str(path), dimension_order="NHWC", seek_mode="exact",
                                          num_ffmpeg_threads=self.threads, transforms=transforms)

    @staticmethod
    def _out(batch):
        return batch.data.numpy(), batch.pts_seconds.tolist()

    def first_frame(self, path):
        frame = self._open(path).get_frame_at(0)
        return [frame.data.numpy()], [frame.pts_seconds]

    def first_n(self, path, n=None):
        decoder = self._open(path)
        return self._out(decoder.get_frames_in_range(0, min(n or len(decoder), len(decoder))))

    def frames_at(self, path, indices, size=None):
        return self._out(self._open(path, size).get_frames_at(list(indices)))

    def played_at(self, path, seconds):
        return self._out(self._open(path).get_frames_played_at(list(seconds)))

    def audio(self, path, rate):
        samples = self.decoders.AudioDecoder(str(path), sample_rate=rate, num_channels=1).get_all_samples()
        return samples.data.numpy()[0], samples.pts_seconds


class OpenCV:
    name = "OpenCV"

    def __init__(self, threads):
        import cv2
        self.cv2, self.threads = cv2, threads

    def configure(self):
        self.cv2.setNumThreads(1 if self.threads == 1 else -1)  # -1: OpenCV's default

    def version(self):
        found = re.findall(r"avcodec:\s+YES \(([\d.]+)\)", self.cv2.getBuildInformation())
        return self.cv2.__version__, f"libavcodec {found[0]}" if found else None

    def _open(self, path):
        cv2 = self.cv2
        params = [cv2.CAP_PROP_N_THREADS, 1] if self.threads == 1 else []
        capture = cv2.VideoCapture(str(path), cv2.CAP_FFMPEG, params)
        if not capture.isOpened():
            raise RuntimeError(f"OpenCV cannot open {path}")
        return capture

    def _read(self, capture, size=None):
        ok, bgr = capture.read()
        if not ok:
            raise RuntimeError("OpenCV read failed")
        start = capture.get(self.cv2.CAP_PROP_POS_MSEC) / 1000
        if size:
            bgr = self.cv2.resize(bgr, (size[1], size[0]), interpolation=self.cv2.INTER_LINEAR)
        return self.cv2.cvtColor(bgr, self.cv2.COLOR_BGR2RGB), start

    def _collect(self, capture, seeks, prop, size=None):
        frames, starts = [], []
        for value in seeks:
            if prop is not None:
                capture.set(prop, value)
            picture, start = self._read(capture, size)
            frames.append(picture)
            starts.append(start)
        capture.release()
        return frames, starts

    def first_frame(self, path):
        return self.first_n(path, 1)

    def first_n(self, path, n=None):
        capture = self._open(path)
        frames, starts = [], []
        while len(frames) != n and capture.grab():
            ok, bgr = capture.retrieve()
            starts.append(capture.get(self.cv2.CAP_PROP_POS_MSEC) / 1000)
            frames.append(self.cv2.cvtColor(bgr, self.cv2.COLOR_BGR2RGB))
        capture.release()
        return frames, starts

    def frames_at(self, path, indices, size=None):
        return self._collect(self._open(path), indices, self.cv2.CAP_PROP_POS_FRAMES, size)

    def played_at(self, path, seconds):
        return self._collect(self._open(path), [t * 1000 for t in seconds], self.cv2.CAP_PROP_POS_MSEC)

    def audio(self, path, rate):
        cv2 = self.cv2
        capture = cv2.VideoCapture(str(path), cv2.CAP_FFMPEG, [
            cv2.CAP_PROP_AUDIO_STREAM, 0, cv2.CAP_PROP_VIDEO_STREAM, -1,
            cv2.CAP_PROP_AUDIO_DATA_DEPTH, cv2.CV_32F, cv2.CAP_PROP_AUDIO_SAMPLES_PER_SECOND, rate])
        if not capture.isOpened():
            raise Unavailable("OpenCV's FFmpeg back end reads no audio (it rejects the audio parameters)")
        base = int(capture.get(cv2.CAP_PROP_AUDIO_BASE_INDEX))
        channels = int(capture.get(cv2.CAP_PROP_AUDIO_TOTAL_CHANNELS))
        chunks = []
        while capture.grab():
            chunks.append(np.stack([capture.retrieve(flag=base + c)[1].reshape(-1)
                                    for c in range(channels)]))
        capture.release()
        return np.concatenate(chunks, axis=1).mean(axis=0, dtype=np.float32), 0.0


PEERS = {"PyAV": PyAV, "decord": Decord, "torchcodec": TorchCodec, "OpenCV": OpenCV}
