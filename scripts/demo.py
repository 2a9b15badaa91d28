"""The project's main job on the sample clip that ships with the repo."""
import sys

import _av


def main(path):
    print(f"avarray {_av.__version__} with FFmpeg {_av.ffmpeg_version}")
    for media_type in ("video", "audio"):
        decoder = _av.Decoder(path, media_type)
        print(f"opened the {media_type} stream of {path}")
        decoder.close()


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "samples/sample.mp4")
