"""The project's main job on the sample clip that ships with the repo."""
import pathlib
import struct
import sys
import zlib

import numpy as np

import numpy as np

import _av

SHEET = pathlib.Path("build") / "demo" / "contact_sheet.png"


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


def write_png(path, rgb):
    """An 8-bit RGB PNG of an (H, W, 3) uint8 array."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    height, width, _ = rgb.shape
    rows = np.concatenate([np.zeros((height, 1), np.uint8), rgb.reshape(height, -1)], axis=1)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(b"\x89PNG\r\n\x1a\n"
                     + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                     + chunk(b"IDAT", zlib.compress(rows.tobytes(), 6)) + chunk(b"IEND", b""))


def contact_sheet(path, count=6, columns=3):
    """Up to `count` key frames, found by scan() and decoded at their own seek points."""
    decoder = _av.Decoder(path, "video")
    keys = [pts for pts, _, key in decoder.scan() if key]
    chosen = keys[:: max(1, len(keys) // count)][:count]
    frames, starts, _ = decoder.decode_video([(pts, pts) for pts in chosen], "uint8", True)
    decoder.close()
    n, height, width, _ = frames.shape
    rows = -(-n // columns)
    sheet = np.full((rows * height, min(n, columns) * width, 3), 255, np.uint8)
    for i, frame in enumerate(frames):
        r, c = divmod(i, columns)
        sheet[r * height:(r + 1) * height, c * width:(c + 1) * width] = frame
    write_png(SHEET, sheet)
    times = ", ".join(f"{s:.2f}" for s in starts)
    print(f"\ncontact sheet of {n} key frames (at {times} s): {SHEET.resolve()}")


def main(path):
    print(f"avarray {_av.__version__} with FFmpeg {_av.ffmpeg_version}")
    for media_type in ("video", "audio"):
        show_stream(path, media_type)
    contact_sheet(path)

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
