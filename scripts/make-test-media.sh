#!/usr/bin/env bash
# Makes the small test clips with the FFmpeg command-line tool (Debian's ffmpeg).
# Usage: make-test-media.sh OUTDIR. The comment above each command says what its clip is for.
set -euo pipefail
out=${1:?usage: make-test-media.sh OUTDIR}
scripts=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
cd "$out"
ff() { ffmpeg -nostdin -v error -y "$@"; }
src_v() { echo "testsrc2=size=$1:rate=${3:-25}:duration=$2"; }
src_a() { echo "sine=frequency=${3:-440}:sample_rate=$1:duration=$2"; }

# H.264 with B-frames (packets stored out of presentation order), video only.
ff -f lavfi -i "$(src_v 160x120 2)" -c:v libx264 -preset veryfast -g 12 -bf 3 -pix_fmt yuv420p \
   bframes.mp4
# A clip with video and audio, the audio stream first.
ff -f lavfi -i "$(src_a 48000 2)" -f lavfi -i "$(src_v 96x64 2)" -map 0:a -map 1:v \
   -c:a aac -b:a 32k -c:v libx264 -preset veryfast -pix_fmt yuv420p audio_first.mp4
# Two video and two audio streams.
ff -f lavfi -i "$(src_v 96x64 2)" -f lavfi -i "$(src_v 64x48 2 30)" \
   -f lavfi -i "$(src_a 44100 2)" -f lavfi -i "$(src_a 22050 2 880)" \
   -map 0 -map 1 -map 2 -map 3 -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a libvorbis \
   multi.mkv
# Audio only, in three containers.
ff -f lavfi -i "$(src_a 44100 1)" -ac 2 -c:a pcm_s16le audio.wav
ff -f lavfi -i "$(src_a 48000 1)" -c:a aac -b:a 32k audio.m4a
ff -f lavfi -i "$(src_a 44100 1)" -c:a flac audio.flac
# Cut short: the index (moov) at the end is missing, so the open fails...
ff -f lavfi -i "$(src_v 160x120 2)" -c:v libx264 -preset veryfast -pix_fmt yuv420p moov_at_end.mp4
head -c 20000 moov_at_end.mp4 > truncated_no_index.mp4
rm moov_at_end.mp4
# ...while with the index first the file opens and its data stops half-way.
size=$(stat -c %s bframes.mp4)
ff -i bframes.mp4 -c copy -movflags +faststart faststart.mp4
head -c $((size / 2)) faststart.mp4 > truncated_data.mp4
rm faststart.mp4
# Not media at all.
head -c 4096 /dev/urandom > noise.bin
# The same H.264 clip with a display matrix turning it by 90 degrees.
ff -i bframes.mp4 -c copy -metadata:s:v:0 rotate=90 rotated90.mp4

# Video clips whose pictures are checked against the command-line tool's own output.
# All-intra MJPEG (full-range yuvj420p), ten frames.
ff -f lavfi -i "$(src_v 96x64 0.4)" -c:v mjpeg -q:v 3 -pix_fmt yuvj420p intra_mjpeg.avi
# VP9 with a key frame every 10 frames.
ff -f lavfi -i "$(src_v 128x96 2)" -c:v libvpx-vp9 -deadline realtime -cpu-used 8 -g 10 \
   -pix_fmt yuv420p vp9.webm
# Variable frame rate: 5 of every 8 frames kept, with their original times.
ff -f lavfi -i "$(src_v 96x64 2)" -vf "select='lt(mod(n\,8)\,5)'" -fps_mode vfr -c:v libx264 \
   -preset veryfast -g 10 -pix_fmt yuv420p vfr.mkv
# Full-range H.264 (tagged pc/BT.709) and limited-range H.264 (tagged tv/BT.709).
ff -f lavfi -i "$(src_v 96x64 1)" -c:v libx264 -preset veryfast -g 10 -pix_fmt yuvj420p \
   -color_range pc -colorspace bt709 -color_primaries bt709 -color_trc bt709 range_full.mp4
ff -f lavfi -i "$(src_v 96x64 1)" -c:v libx264 -preset veryfast -g 10 -pix_fmt yuv420p \
   -color_range tv -colorspace bt709 -color_primaries bt709 -color_trc bt709 range_limited.mp4
# Odd width and height (FFV1, 4:2:0); testsrc2 itself only makes even sizes.
ff -f lavfi -i "$(src_v 160x120 0.4),scale=161:121" -c:v ffv1 -pix_fmt yuv420p odd_ffv1.mkv
# Raw bgr24 in AVI: stored bottom-up, rows padded to 4 bytes (65 x 3 = 195).
ff -f lavfi -i "$(src_v 64x48 0.4),scale=65:49" -c:v rawvideo -pix_fmt bgr24 bottom_up_bgr24.avi
# 10-bit H.264, for 16-bit output.
ff -f lavfi -i "$(src_v 96x64 0.4)" -c:v libx264 -preset veryfast -pix_fmt yuv420p10le \
   h264_10bit.mp4
# Native layouts: raw samples in NUT (odd sizes), 16-bit big-endian gray in PNG.
for fmt in rgb24 gray gray16le gray12le; do
  ff -f lavfi -i "$(src_v 32x16 0.2),scale=33:17" -c:v rawvideo -pix_fmt $fmt native_$fmt.nut
done
ff -f lavfi -i "$(src_v 32x16 0.2),scale=33:17" -c:v png -pix_fmt gray16be native_gray16be.mov
ff -f lavfi -i "$(src_v 32x16 0.2),scale=33:17" -c:v png -pix_fmt rgba native_rgba.mov
# The picture size changes mid-stream: two MPEG-TS segments joined end to end.
ff -f lavfi -i "$(src_v 160x120 1)" -c:v libx264 -preset veryfast -pix_fmt yuv420p seg_a.ts
ff -f lavfi -i "$(src_v 128x96 1)" -c:v libx264 -preset veryfast -pix_fmt yuv420p \
   -output_ts_offset 3 seg_b.ts
cat seg_a.ts seg_b.ts > size_change.ts
rm seg_a.ts seg_b.ts
# bframes.mp4 with 3000 bytes of its sample data overwritten half-way through.
cp bframes.mp4 corrupt.mp4
head -c 3000 /dev/zero | tr '\0' '\377' |
  dd of=corrupt.mp4 bs=1 seek=$(($(stat -c %s bframes.mp4) / 2)) conv=notrunc status=none
# H.264 with B-frames in MPEG-TS, which seeks by decoding time: a seek to a key frame's
# pts lands after that key frame.
ff -i bframes.mp4 -c copy bframes.ts

# Non-reference frames as targets. H.264 with a B-pyramid (the middle B-frame of three is
# a reference, the others are not), a key frame every 12 frames.
ff -f lavfi -i "$(src_v 160x120 2)" -c:v libx264 -preset veryfast -g 12 -bf 3 \
   -x264-params b-pyramid=normal:b-adapt=0 -pix_fmt yuv420p bpyramid.mp4
# H.264 whose SPS does not state its reorder depth (many encoders leave it out; x264 never
# does, so the script takes it out): the decoder learns the depth from the pictures. The
# first second reorders by one frame (one B-frame), the next by two (a B-pyramid); in
# Matroska, whose index says nothing about reordering, the decoder starts at one.
x264_parts="b-adapt=0:keyint=12:min-keyint=12:scenecut=0:weightb=0"
ff -f lavfi -i "$(src_v 160x120 1)" -c:v libx264 -preset veryfast -bf 1 -refs 4 \
   -x264-params "b-pyramid=none:$x264_parts" -pix_fmt yuv420p part_a.ts
ff -f lavfi -i "$(src_v 160x120 1)" -c:v libx264 -preset veryfast -bf 3 -refs 3 \
   -x264-params "b-pyramid=normal:$x264_parts" -pix_fmt yuv420p part_b.ts
printf "file part_a.ts\nfile part_b.ts\n" > parts.txt
ff -f concat -i parts.txt -c copy h264_unstated_reorder.mkv
python3 "$scripts/h264-unstated-reorder.py" h264_unstated_reorder.mkv
rm part_a.ts part_b.ts parts.txt
# HEVC with x265's defaults (B-frames, open groups of pictures), a key frame every 16.
ff -f lavfi -i "$(src_v 160x120 2)" -c:v libx265 -x265-params log-level=error:keyint=16 \
   -pix_fmt yuv420p hevc_bframes.mp4

# First frames that start at times whose division by the time base rounds below their own
# timestamp (0.7 / 0.001 is 699.999...): H.264 with B-frames, a key frame every 5 frames,
# starting at 0.7 s in Matroska (1/1000) and MP4 (1/30000), and at 1.9 s in MPEG-TS (1/90000).
ff -f lavfi -i "$(src_v 64x48 1)" -c:v libx264 -preset veryfast -g 5 -bf 2 -pix_fmt yuv420p \
   -output_ts_offset 0.7 late_start_ms.mkv
ff -f lavfi -i "$(src_v 64x48 1 30)" -c:v libx264 -preset veryfast -g 5 -bf 2 -pix_fmt yuv420p \
   -output_ts_offset 0.7 -video_track_timescale 30000 late_start_30k.mp4
ff -f lavfi -i "$(src_v 64x48 1)" -c:v libx264 -preset veryfast -g 5 -bf 2 -pix_fmt yuv420p \
   -output_ts_offset 0.5 late_start_90k.ts
# MJPEG at 10 frames per second in Matroska (1/1000) whose seventh frame starts at 450,
# before the sixth (500), or repeats the sixth's 500.
ff -f lavfi -i "$(src_v 32x16 1 10)" -c:v mjpeg -q:v 5 -pix_fmt yuvj420p -f matroska \
   pts_in_order.mkv
ff -i pts_in_order.mkv -c copy -bsf:v "setts=pts='if(eq(N,6),450,PTS)':dts=N" pts_backwards.mkv
ff -i pts_in_order.mkv -c copy -bsf:v "setts=pts='if(eq(N,6),500,PTS)':dts=N" pts_repeated.mkv
rm pts_in_order.mkv

# Audio references: every channel carries its own tone, so a wrong channel mapping shows.
tones() {  # tones RATE LAYOUT SECONDS: one sine per channel of the layout
  local n; n=$(ffprobe -v error -f lavfi -i "anullsrc=channel_layout=$2" -show_entries stream=channels -of csv=p=0)
  local expr="" i
  for ((i = 0; i < n; i++)); do expr+="${expr:+|}0.5*sin($((300 + 170 * i))*2*PI*t)"; done
  echo "aevalsrc=$expr:channel_layout=$2:sample_rate=$1:duration=$3"
}
# PCM WAV: mono 8 kHz, 5.1 48 kHz.
ff -f lavfi -i "$(tones 8000 mono 1)" -c:a pcm_s16le a_mono_8k.wav
ff -f lavfi -i "$(tones 48000 5.1 1)" -c:a pcm_s16le a_51_48k.wav
# AAC in MP4: mono 16 kHz, stereo 48 kHz, 5.1 48 kHz.
ff -f lavfi -i "$(tones 16000 mono 1)" -c:a aac -b:a 32k a_mono_16k.m4a
ff -f lavfi -i "$(tones 48000 stereo 1)" -c:a aac -b:a 96k a_stereo_48k.m4a
ff -f lavfi -i "$(tones 48000 5.1 1)" -c:a aac -b:a 192k a_51_48k.m4a
# MP3: mono 8 kHz (MPEG-2.5), stereo 44.1 kHz.
ff -f lavfi -i "$(tones 8000 mono 1)" -c:a libmp3lame -b:a 16k a_mono_8k.mp3
ff -f lavfi -i "$(tones 44100 stereo 1)" -c:a libmp3lame -b:a 128k a_stereo_44k.mp3
# FLAC: mono 16 kHz, 5.1 44.1 kHz.
ff -f lavfi -i "$(tones 16000 mono 1)" -c:a flac a_mono_16k.flac
ff -f lavfi -i "$(tones 44100 5.1 1)" -c:a flac a_51_44k.flac
# Opus in Ogg (always decoded at 48 kHz; starts before 0 by its pre-skip): mono from 16 kHz,
# stereo, 5.1.
ff -f lavfi -i "$(tones 16000 mono 1)" -c:a libopus -b:a 32k a_mono_16k.opus
ff -f lavfi -i "$(tones 48000 stereo 1)" -c:a libopus -b:a 96k a_stereo_48k.opus
ff -f lavfi -i "$(tones 48000 5.1 1)" -c:a libopus -b:a 192k a_51_48k.opus
# Video from 0 s, its AAC audio from 0.75 s: the audio's first frame is not at 0.
ff -f lavfi -i "$(src_v 96x64 2)" -itsoffset 0.75 -f lavfi -i "$(tones 44100 stereo 1)" \
   -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac -b:a 64k a_late_start.mkv
# ADTS AAC whose rate changes mid-stream: 44.1 kHz stereo, then 32 kHz stereo, the two
# encoded pieces joined byte for byte (each piece kept for reference).
ff -f lavfi -i "$(tones 44100 stereo 1)" -c:a aac -b:a 64k a_rate_part1.aac
ff -f lavfi -i "$(tones 32000 stereo 1)" -c:a aac -b:a 64k a_rate_part2.aac
cat a_rate_part1.aac a_rate_part2.aac > a_rate_change.aac
# Chained Ogg: a mono 44.1 kHz Vorbis link, then a stereo 48 kHz one (each link kept).
ff -f lavfi -i "$(tones 44100 mono 1)" -c:a libvorbis a_ogg_link1.ogg
ff -f lavfi -i "$(tones 48000 stereo 1)" -c:a libvorbis a_ogg_link2.ogg
cat a_ogg_link1.ogg a_ogg_link2.ogg > a_ogg_chained.ogg
# AAC in MP4 with its index first, cut half-way through the samples.
ff -f lavfi -i "$(tones 48000 stereo 2)" -c:a aac -b:a 96k -movflags +faststart a_full.m4a
head -c $(($(stat -c %s a_full.m4a) / 2)) a_full.m4a > a_truncated.m4a
rm a_full.m4a
# Cut with stream copy after its first key frame: an edit list, whose packets before the
# cut carry the discard flag, the first of them the key frame the next frames need.
ff -ss 0.3 -i bframes.mp4 -c copy editlist.mp4
# MP3 ending in a one-byte junk frame, which the decoder rejects.
ff -f lavfi -i "$(src_a 44100 1 500)" -c:a libmp3lame -b:a 64k junk_tail.mp3
printf '\377' >> junk_tail.mp3
# Matroska cut short: no cues to seek with.
ff -f lavfi -i "$(src_a 48000 3 500)" -f lavfi -i "$(src_v 96x64 3)" -c:a libvorbis \
   -c:v libx264 -preset veryfast -pix_fmt yuv420p full.mkv
head -c $(($(stat -c %s full.mkv) * 2 / 3)) full.mkv > no_cues.mkv
rm full.mkv

# Long inputs, for calls interrupted part-way: copies of a short encode joined by stream
# copy, so the encoder runs seconds, not minutes. 20 s of 720p H.264 (500 frames); 60
# minutes of mono AAC; two million packets of 16x16 H.264 at 1000 frames per second in
# Matroska (a scan of many packets).
ff -f lavfi -i "$(src_v 1280x720 2)" -c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p \
   part_720p.mp4
ff -stream_loop 9 -i part_720p.mp4 -c copy long_720p.mp4
ff -f lavfi -i "$(src_a 48000 10)" -c:a aac -b:a 32k part_aac.m4a
ff -stream_loop 359 -i part_aac.m4a -c copy long_aac.m4a
ff -f lavfi -i "color=c=black:size=16x16:rate=1000:duration=10" -c:v libx264 -preset ultrafast \
   -g 1000 -pix_fmt yuv420p part_tiny.mkv
ff -stream_loop 199 -i part_tiny.mkv -c copy many_packets.mkv
rm part_720p.mp4 part_aac.m4a part_tiny.mkv
# Many small clips for the Ray Data reader, in many/: mixed containers, codecs and sizes
# (name, size, seconds, encoder options). Files that cannot give frames go to many_bad/.
mkdir -p many many_bad
while read -r name size secs opts; do
  # shellcheck disable=SC2086
  ff -f lavfi -i "$(src_v "${size%,*}" "$secs"),scale=${size#*,}" $opts "many/$name"
done <<'CLIPS'
h264_bframes.mp4 160x120,160:120 1.2 -c:v libx264 -preset veryfast -g 8 -bf 2 -pix_fmt yuv420p
h264.mkv 96x64,96:64 1.0 -c:v libx264 -preset veryfast -g 5 -pix_fmt yuv420p
h264_bframes.ts 128x96,128:96 1.0 -c:v libx264 -preset veryfast -g 10 -bf 3 -pix_fmt yuv420p
h264.mov 64x48,64:48 0.8 -c:v libx264 -preset veryfast -pix_fmt yuv420p
h264_30fps.mp4 96x64,96:64 1.0 -c:v libx264 -preset veryfast -r 30 -pix_fmt yuv420p
h264_10bit.mkv 64x48,64:48 0.6 -c:v libx264 -preset veryfast -pix_fmt yuv420p10le
hevc.mp4 96x64,96:64 0.8 -c:v libx265 -preset ultrafast -x265-params log-level=error -pix_fmt yuv420p
vp9.webm 128x96,128:96 1.0 -c:v libvpx-vp9 -deadline realtime -cpu-used 8 -g 6 -pix_fmt yuv420p
vp9_large.mkv 320x240,320:240 0.6 -c:v libvpx-vp9 -deadline realtime -cpu-used 8 -pix_fmt yuv420p
vp8.webm 96x64,96:64 0.8 -c:v libvpx -deadline realtime -cpu-used 8 -g 7
mpeg4.avi 160x120,160:120 1.0 -c:v mpeg4 -g 6 -bf 0 -q:v 5
mpeg4_bframes.mp4 96x64,96:64 0.8 -c:v mpeg4 -g 6 -bf 2 -q:v 5
mpeg2.mkv 160x120,160:120 1.0 -c:v mpeg2video -g 6 -q:v 5
mpeg2_bframes.ts 96x64,96:64 0.8 -c:v mpeg2video -g 6 -bf 2 -q:v 5
mjpeg.avi 64x48,64:48 0.6 -c:v mjpeg -q:v 5 -pix_fmt yuvj420p
mjpeg.mov 80x60,80:60 0.6 -c:v mjpeg -q:v 5 -pix_fmt yuvj422p
ffv1_odd.mkv 64x48,65:49 0.4 -c:v ffv1 -pix_fmt yuv420p
ffv1.nut 48x32,48:32 0.4 -c:v ffv1 -pix_fmt yuv444p
prores.mov 64x48,64:48 0.4 -c:v prores_ks -profile:v 0 -pix_fmt yuv422p10le
png.mkv 32x24,32:24 0.4 -c:v png -pix_fmt rgb24
theora.ogv 64x48,64:48 0.8 -c:v libtheora -q:v 5 -g 8 -pix_fmt yuv420p
CLIPS
# Its header overwritten: the container cannot be opened.
cp many/h264.mov many_bad/corrupt_header.mov
head -c 64 /dev/urandom | dd of=many_bad/corrupt_header.mov bs=1 seek=0 conv=notrunc status=none
# Cut short before its index (written at the end).
head -c 4000 many/h264_bframes.mp4 > many_bad/truncated.mp4
# No video stream.
ff -f lavfi -i "$(src_a 16000 0.5)" -c:a aac -b:a 24k many_bad/audio_only.m4a
