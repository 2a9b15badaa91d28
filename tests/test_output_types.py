"""The module's output types as its stubs and the avarray package know them."""
import ast

import numpy as np
import pytest

import _av
from avarray import _frames
from conftest import ROOT, SAMPLE


def stub_overloads():
    """(method, output_dtype, numpy type) for each overload of the stubs that names one."""
    tree = ast.parse((ROOT / "python" / "_av.pyi").read_text())
    decoder = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Decoder")
    found = []
    for f in decoder.body:
        if not isinstance(f, ast.FunctionDef):
            continue
        arg = next((a for a in f.args.args if a.arg == "output_dtype"), None)
        if arg is None or not (isinstance(arg.annotation, ast.Subscript)
                               and ast.unparse(arg.annotation.value) == "Literal"):
            continue
        sample = ast.unparse(f.returns.slice)  # _Frames[np.X]
        found.append((f.name, arg.annotation.slice.value, getattr(np, sample.split(".")[1])))
    return found


def test_stubs_and_package_name_the_module_types():
    overloads = stub_overloads()
    # Every RGB type has its overload in both video methods; native falls to the str one.
    rgb = set(_av.output_dtypes) - {"native"}
    for method in ("decode_video", "decode_timestamps"):
        assert {name for m, name, _ in overloads if m == method} == rgb
    assert set(_frames.OUTPUT_DTYPES) == set(_av.output_dtypes)


@pytest.mark.parametrize("method, name, element", stub_overloads())
def test_arrays_have_the_stubs_type_and_the_stated_size(method, name, element):
    d = _av.Decoder(str(SAMPLE), "video")
    if method == "decode_video":
        frames, _, _ = d.decode_video([(0, 0)], name, False)
    else:
        frames, _, _ = d.decode_timestamps([0.0], name)
    assert frames.dtype == element
    assert frames.shape[3] * frames.itemsize == _av.output_dtypes[name]
