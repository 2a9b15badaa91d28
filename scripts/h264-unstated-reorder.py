#!/usr/bin/env python3
"""Rewrites an H.264 file in place so that its SPS no longer states the reorder depth.

Usage: h264-unstated-reorder.py FILE

x264 always ends the SPS's VUI with the bitstream restriction fields (max_num_reorder_frames
among them); many other encoders leave them out, and a decoder then has to learn the depth from
the order of the pictures it sees. This clears bitstream_restriction_flag, drops the fields
after it, and pads each SPS with zero bytes back to its old length wherever it is stored (the
extradata, and in-band copies), so that nothing around it changes size. FFmpeg ignores the
trailing zeros. Handles what x264 writes (no HRD parameters, no scaling matrices)."""
import subprocess
import sys


class Bits:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def u(self, n):
        v = 0
        for _ in range(n):
            v = v << 1 | (self.data[self.pos >> 3] >> (7 - (self.pos & 7))) & 1
            self.pos += 1
        return v

    def ue(self):
        zeros = 0
        while not self.u(1):
            zeros += 1
        return (1 << zeros) - 1 + self.u(zeros)


def unescape(nal):
    out, zeros = bytearray(), 0
    for b in nal:
        if zeros >= 2 and b == 3:
            zeros = 0
            continue
        out.append(b)
        zeros = zeros + 1 if b == 0 else 0
    return bytes(out)


def escape(rbsp):
    out, zeros = bytearray(), 0
    for b in rbsp:
        if zeros >= 2 and b <= 3:
            out.append(3)
            zeros = 0
        out.append(b)
        zeros = zeros + 1 if b == 0 else 0
    return bytes(out)


def restriction_flag_position(rbsp):
    """The bit position of bitstream_restriction_flag in an SPS (NAL header included)."""
    r = Bits(rbsp)
    r.u(8)  # NAL header
    profile = r.u(8)
    r.u(16)  # constraint flags, level
    r.ue()  # seq_parameter_set_id
    if profile in (100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135):
        if r.ue() == 3:  # chroma_format_idc
            r.u(1)
        r.ue(), r.ue(), r.u(1)  # bit depths, qpprime_y_zero_transform_bypass
        if r.u(1):
            raise SystemExit("SPS with scaling matrices: not handled")
    r.ue()  # log2_max_frame_num_minus4
    poc_type = r.ue()
    if poc_type == 0:
        r.ue()
    elif poc_type == 1:
        raise SystemExit("pic_order_cnt_type 1: not handled")
    r.ue(), r.u(1), r.ue(), r.ue()  # refs, gaps, width, height
    if not r.u(1):  # frame_mbs_only_flag
        r.u(1)
    r.u(1)  # direct_8x8_inference_flag
    if r.u(1):  # frame_cropping_flag
        r.ue(), r.ue(), r.ue(), r.ue()
    if not r.u(1):
        raise SystemExit("SPS without VUI")
    if r.u(1) and r.u(8) == 255:  # aspect_ratio_info
        r.u(32)
    if r.u(1):  # overscan_info_present_flag
        r.u(1)
    if r.u(1):  # video_signal_type_present_flag
        r.u(4)
        if r.u(1):
            r.u(24)
    if r.u(1):  # chroma_loc_info_present_flag
        r.ue(), r.ue()
    if r.u(1):  # timing_info_present_flag
        r.u(65)
    if r.u(1) or r.u(1):  # HRD parameters
        raise SystemExit("SPS with HRD parameters: not handled")
    r.u(1)  # pic_struct_present_flag
    return r.pos


def main(path):
    # Every SPS as stored: the type-7 NAL units of the stream's Annex B form.
    annexb = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:v:0",
                             "-c", "copy", "-bsf:v", "h264_mp4toannexb", "-f", "h264", "-"],
                            check=True, capture_output=True).stdout
    units = [u.strip(b"\0") for u in annexb.split(b"\0\0\1")]
    data = open(path, "rb").read()
    for sps in {u for u in units if u and u[0] & 0x1F == 7}:
        data = data.replace(sps, without_reorder_depth(sps))
    with open(path, "wb") as f:
        f.write(data)


def without_reorder_depth(sps):
    """The SPS NAL unit with bitstream_restriction_flag cleared, padded to its length."""
    rbsp = unescape(sps)
    at = restriction_flag_position(rbsp)
    if not Bits(rbsp[at >> 3:]).u((at & 7) + 1) & 1:
        raise SystemExit("the SPS states no reorder depth already")
    # Keep the bits before the flag, then the flag (0), the stop bit and zero bits.
    bits = "".join(f"{b:08b}" for b in rbsp)[:at] + "01"
    bits += "0" * (-len(bits) % 8)
    new = escape(bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8)))
    if len(new) > len(sps):
        raise SystemExit("the rewritten SPS is longer")
    return new + bytes(len(sps) - len(new))


if __name__ == "__main__":
    main(sys.argv[1])
