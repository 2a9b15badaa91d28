"""The project's main job on the sample clip that ships with the repo."""
import sys

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


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "samples/sample.mp4")
