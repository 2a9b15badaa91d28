#!/usr/bin/env python3
"""Copies the licence text of every library that auditwheel bundled into an unpacked wheel.

Usage: bundle-licenses.py UNPACKED_WHEEL_DIR MODULE_BEFORE_REPAIR FFMPEG_PREFIX

Each bundled file (<name>.libs/libfoo-<hash>.so.N) is traced back to the library the
unrepaired module loaded (ldd), then to its licence: FFmpeg's own texts for libraries
from the FFmpeg build prefix, else the Debian package's copyright file. A bundled
library without a known licence stops the build: nothing ships without its text.
"""
import re
import shutil
import subprocess
import sys
from pathlib import Path


def loaded_libraries(module: Path) -> dict[str, Path]:
    """soname base ("libavcodec") -> resolved path, as the dynamic loader finds them."""
    out = subprocess.run(["ldd", str(module)], check=True, capture_output=True, text=True).stdout
    found = {}
    for line in out.splitlines():
        m = re.match(r"\s*(\S+) => (/\S+)", line)
        if m:
            found[m.group(1).split(".so")[0]] = Path(m.group(2))
    return found


def debian_copyright(path: Path) -> Path:
    """The copyright file of the Debian package owning `path` (merged /usr aware)."""
    candidates = {str(path), str(path.resolve())}
    for c in list(candidates):
        if c.startswith("/usr/lib/"):
            candidates.add(c[len("/usr"):])
        elif c.startswith("/lib/"):
            candidates.add("/usr" + c)
    for c in sorted(candidates):
        r = subprocess.run(["dpkg-query", "-S", c], capture_output=True, text=True)
        if r.returncode == 0:
            package = r.stdout.split(":")[0]
            text = Path("/usr/share/doc") / package / "copyright"
            if text.is_file():
                return text
    raise SystemExit(f"bundle-licenses: no licence text found for {path}")


def main() -> None:
    unpacked, module, prefix = Path(sys.argv[1]), Path(sys.argv[2]), sys.argv[3]
    dist_info = next(unpacked.glob("*.dist-info"))
    target = dist_info / "licenses"
    target.mkdir(exist_ok=True)
    loaded = loaded_libraries(module)
    index = []
    for bundled in sorted(unpacked.glob("*.libs/*.so*")):
        base = re.sub(r"-[0-9a-f]{8}$", "", bundled.name.split(".so")[0])
        origin = loaded.get(base)
        if origin is None:
            raise SystemExit(f"bundle-licenses: {bundled.name} is not a library the module loads")
        texts: list[Path]
        if prefix != "system" and origin.resolve().is_relative_to(Path(prefix).resolve()):
            texts = sorted((Path(prefix) / "share/licenses/ffmpeg").glob("*"))
            label = "FFmpeg"
            if not texts:
                raise SystemExit(f"bundle-licenses: no licence texts under {prefix}/share/licenses")
        else:
            texts = [debian_copyright(origin)]
            label = texts[0].parent.name
        names = []
        for text in texts:
            name = f"{label}-{text.name}"
            shutil.copyfile(text, target / name)
            names.append(name)
        index.append(f"{bundled.name}: {', '.join(names)} (from {origin})")
    (target / "BUNDLED.txt").write_text(
        "Libraries inside this wheel and the licence texts beside this file:\n"
        + "\n".join(index) + "\n")
    print("\n".join(index))


if __name__ == "__main__":
    main()
