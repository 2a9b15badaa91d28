"""A Decoder belongs to the process that opened it: after fork the child's calls are
refused and its close releases nothing the parent still uses, while the parent goes on
decoding the same frame correctly. Runs in a child interpreter, which forks."""
import json
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _av
import reference as ref
from conftest import media

FORKED = "decoder was opened in another process; open a new Decoder in this process"

SCRIPT = textwrap.dedent("""
    import json, os, sys
    import numpy as np
    import _av
    path, pts, seek, expected = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), np.load(sys.argv[4])
    # One decoder of each kind: frame threads (threads=0) exist only in the parent.
    decoders = [_av.Decoder(path, "video"), _av.Decoder(path, "video", threads=0)]
    decode = lambda d: d.decode_video([(pts, seek)], "uint8", True)[0][0]
    for d in decoders:
        decode(d)  # threads started, file read
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        answers = []
        for d in decoders:
            for call in (lambda: decode(d), d.scan, d.metadata):
                try:
                    call()
                    answers.append("answered")
                except RuntimeError as e:
                    answers.append(str(e))
        decoders[0].close()
        answers.append(repr(decoders[0].close()))
        del decoders  # the threaded one goes by deallocation
        os.write(write_end, json.dumps(answers).encode())
        os._exit(0)
    right = [bool(np.array_equal(decode(d), expected)) for _ in range(5) for d in decoders]
    _, status = os.waitpid(pid, 0)
    child = json.loads(os.read(read_end, 1 << 16))
    right += [bool(np.array_equal(decode(d), expected)) for _ in range(5) for d in decoders]
    print(json.dumps({"child": child, "status": status, "right": right}))
""")


def test_forked_child_is_refused_and_parent_unharmed(tmp_path):
    path = media("bframes.mp4")
    frames = ref.video_frames(path)
    k = len(frames) // 2
    pts = frames[k][0]
    np.save(tmp_path / "expected.npy", ref.pictures(path, count=k + 1)[k])
    result = subprocess.run([sys.executable, "-c", SCRIPT, path, str(pts),
                             str(ref.seek_point(path, pts)), str(tmp_path / "expected.npy")],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    out = json.loads(result.stdout)
    assert out["child"] == [FORKED] * 6 + ["None"]
    assert out["status"] == 0
    assert out["right"] == [True] * 20


def test_pickling_is_refused():
    d = _av.Decoder(media("bframes.mp4"), "video")
    with pytest.raises(TypeError, match="cannot pickle 'Decoder' object"):
        pickle.dumps(d)
