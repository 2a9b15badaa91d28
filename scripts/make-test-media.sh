#!/usr/bin/env bash
# Makes the small test clips with the FFmpeg command-line tool (Debian's ffmpeg).
# Usage: make-test-media.sh OUTDIR. Each clip is described in tests/media.py.
set -euo pipefail
out=${1:?usage: make-test-media.sh OUTDIR}
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
