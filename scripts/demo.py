"""The project's main job on the sample clip that ships with the repo."""
import sys

import numpy as np

import _av


def show_stream(path, media_type):
    decoder = _av.Decoder(path, media_type)
    print(f"\n{media_type} stream of {path}:")
    for key, value in decoder.metadata().items():
        print(f"  {key:34} {value!r}")
    packets = decoder.scan()
    keys = sum(1 for _, _, key in packets if key)
    if packets:
        print(f"  scan: {len(packets)} packets, {keys} key frames, "
              f"timestamps {packets[0][0]} to {packets[-1][0]}")
    else:
        print("  scan: no packets")
    decoder.close()


def main(path):
    print(f"avarray {_av.__version__} with FFmpeg {_av.ffmpeg_version}")
    for media_type in ("video", "audio"):
        show_stream(path, media_type)

    show_audio(path)


def show_audio(path, rate=16000):
    """The sound track as a speech model would take it: 16 kHz mono float."""
    samples, start = _av.Decoder(path, "audio").decode_audio(rate, 1)
    peak = float(np.abs(samples).max(initial=0.0))
    level = f"{20 * np.log10(peak):.1f} dBFS" if peak > 0 else "silent"
    print(f"audio: {samples.shape[1]} samples at {rate} Hz mono "
          f"({samples.shape[1] / rate:.3f} s) from {start:.3f} s, peak {peak:.4f} ({level})")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "samples/sample.mp4")
