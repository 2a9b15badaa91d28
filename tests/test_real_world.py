"""Real files from phones, cameras and broadcasts, and clips made to look like them:
every frame ffprobe lists is fetched exactly with a seek point taken from scan() and
equals the command-line tool's picture; audio equals the tool's samples."""
import bisect

import numpy as np
import pytest

import _av
import reference as ref
from conftest import corpus, media

# (file, frames to compare: None for all)
VIDEO = [
    ("corpus", "iphone_hevc10_hlg_dovi_rotm90.mov", None),  # edit list, discard-flagged key frame
    ("corpus", "android_hevc10_hlg_audio_first.mp4", 12),
    ("corpus", "av1_10bit_hdr10_portrait.mp4", 6),
    ("corpus", "dvb_multiprogram_mpeg2_hevc.ts", None),  # first key frame before start_time
    ("corpus", "h264_rotate_and_reflect.mp4", 12),
    ("corpus", "h264_bpyramid_sar64x45.mp4", 24),
    ("corpus", "mp4_annexb_truncated.mp4", None),
    ("corpus", "mpeg4part2_mp3.avi", 24),
    ("corpus", "vp9_odd_dimensions_161x121.webm", 12),
    ("media", "editlist.mp4", None),
    ("media", "no_cues.mkv", None),
]

AUDIO = [
    ("corpus", "iphone_hevc10_hlg_dovi_rotm90.mov"),
    ("corpus", "android_hevc10_hlg_audio_first.mp4"),
    ("corpus", "h264_rotate_and_reflect.mp4"),
    ("corpus", "dvb_multiprogram_mpeg2_hevc.ts"),  # starts mid-frame
    ("corpus", "mpeg4part2_mp3.avi"),
    ("media", "junk_tail.mp3"),  # ends in a packet the decoder rejects
    ("media", "no_cues.mkv"),  # cannot seek: a fresh decoder is already at the start
    ("media", "a_stereo_48k.m4a"),  # AAC priming packets before the first index entry
]


def path_of(where, name):
    return corpus(name) if where == "corpus" else media(name)


def seek_points_from_scan(records, targets):
    """For each target pts, the last key packet at or before it in scan()'s list, or the
    first packet listed when there is none (a backward seek there lands on the key frame
    before it, which scan() leaves out when it is never presented)."""
    keys = [pts for pts, _, key in records if key]
    out = []
    for pts in targets:
        i = bisect.bisect_right(keys, pts)
        out.append(keys[i - 1] if i else records[0][0])
    return out


@pytest.mark.parametrize("where, name, count", VIDEO)
def test_every_frame_fetched_exactly(where, name, count):
    path = path_of(where, name)
    d = _av.Decoder(path, "video")
    index = d.metadata(apply_rotation=False)["stream_index"]
    records = d.scan()
    assert records == ref.packets(path, index)
    nth = ref.nth_video(path, index)
    expected_frames = ref.video_frames(path, nth)[:count]
    wanted = [pts for pts, _ in expected_frames]
    targets = list(zip(wanted, seek_points_from_scan(records, wanted)))
    frames, starts, _ = d.decode_video(targets, "uint8", True)
    assert starts == [ref.seconds(path, pts, nth) for pts in wanted]
    pictures = ref.pictures(path, "rgb24", nth, count)
    assert frames.shape == pictures.shape
    assert np.array_equal(frames, pictures)


@pytest.mark.parametrize("where, name", AUDIO)
def test_audio_matches_the_command_line(where, name):
    path = path_of(where, name)
    d = _av.Decoder(path, "audio")
    index = d.metadata()["stream_index"]
    for _ in range(2):  # the second call rewinds and gives the same
        samples, _ = d.decode_audio(16000, 1)
        ref.assert_close(samples, ref.cli(path, 16000, 1, index))


def test_discard_flagged_packets_stay_out_of_scan():
    path = media("editlist.mp4")
    listed = ref.packet_list(path)
    assert any("D" in p["flags"] for p in listed)  # the clip does exercise the flag
    records = _av.Decoder(path, "video").scan()
    assert len(records) == sum("D" not in p["flags"] for p in listed)
    assert not records[0][2]  # its key frame lies before the edit


def test_stream_that_cannot_seek_after_reading():
    # A fresh engine needs no seek; once it has read, a failed rewind is an error or
    # a successful one, never a silently wrong start.
    d = _av.Decoder(media("no_cues.mkv"), "video")
    first = d.scan()
    assert d.scan() == first
