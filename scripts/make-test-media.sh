#!/usr/bin/env bash
# Regenerates the tiny sample media of tests/data/media with ffmpeg (Debian's package).
# CI has no ffmpeg: the outputs are committed, so run this only to change the samples.
# Every clip is 0.3 s at 64x36 and a low bitrate, so each file stays at a few KB.
set -euo pipefail
cd "$(dirname "$0")/.."
out=tests/data/media
command -v ffmpeg >/dev/null || { echo "ffmpeg is needed: apt-get install ffmpeg" >&2; exit 1; }
mkdir -p "$out"
rm -f "$out"/*

# One thread and bit-exact muxing keep the outputs stable from run to run.
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y -threads 1 "$@"; }
video=(-f lavfi -i "testsrc=size=64x36:rate=10:duration=0.3")
# 44.1 kHz: MP3 at 16 kHz is MPEG-2 Layer III, which MP4 files tag mp4a-69 instead of mp4a-6B.
tone=(-f lavfi -i "sine=frequency=440:sample_rate=44100:duration=0.3")
exact=(-fflags +bitexact -flags:v +bitexact -flags:a +bitexact -map_metadata -1)
h264=(-c:v libx264 -preset veryfast -crf 40 -pix_fmt yuv420p -x264-params threads=1)
hevc=(-c:v libx265 -preset veryfast -crf 40 -pix_fmt yuv420p
      -x265-params "pools=none:frame-threads=1:log-level=error")
aac=(-c:a aac -b:a 16k -ac 1)
mp3=(-c:a libmp3lame -b:a 16k -ac 1)

ff "${video[@]}" "${tone[@]}" "${h264[@]}" "${aac[@]}" "${exact[@]}" "$out/h264_aac.mp4"
ff "${video[@]}" "${tone[@]}" "${h264[@]}" "${mp3[@]}" "${exact[@]}" "$out/h264_mp3.mp4"
ff "${video[@]}" "${hevc[@]}" -tag:v hvc1 "${exact[@]}" "$out/hevc_hvc1.mp4"
ff "${video[@]}" "${hevc[@]}" -tag:v hev1 "${exact[@]}" "$out/hevc_hev1.mp4"
ff "${video[@]}" "${tone[@]}" "${hevc[@]}" -tag:v hev1 "${mp3[@]}" "${exact[@]}" "$out/hevc_hev1_mp3.mp4"
ff "${video[@]}" "${hevc[@]}" "${exact[@]}" "$out/hevc.mkv"
ff "${video[@]}" "${tone[@]}" "${h264[@]}" "${aac[@]}" "${exact[@]}" "$out/h264_aac.mkv"
ff "${video[@]}" "${tone[@]}" "${h264[@]}" "${mp3[@]}" "${exact[@]}" "$out/h264_mp3.mkv"
ff "${video[@]}" -c:v mpeg4 -q:v 31 "${exact[@]}" "$out/mpeg4.mp4"
ff "${video[@]}" -c:v mpeg4 -q:v 31 "${exact[@]}" "$out/mpeg4.avi"
ff "${video[@]}" "${tone[@]}" "${h264[@]}" "${aac[@]}" "${exact[@]}" "$out/h264_aac.mov"

still=(-f lavfi -i "testsrc=size=64x36:rate=1" -frames:v 1 "${exact[@]}")
ff "${still[@]}" "$out/image.png"
ff "${still[@]}" -q:v 10 "$out/image.jpg"
ff "${still[@]}" "$out/image.gif"
ff "${still[@]}" "$out/image.bmp"
ff "${still[@]}" -c:v libwebp -quality 30 "$out/image.webp"

# Only the first is the sound format the displays take: 16 kHz, mono, 16-bit PCM.
wav() { ff -f lavfi -i "sine=frequency=440:sample_rate=$1:duration=0.1" -ac "$2" -c:a "$3" \
          "${exact[@]}" "$out/$4"; }
wav 16000 1 pcm_s16le sound_16k_mono_s16.wav
wav 44100 1 pcm_s16le sound_44k_mono_s16.wav
wav 16000 2 pcm_s16le sound_16k_stereo_s16.wav
wav 16000 1 pcm_u8 sound_16k_mono_u8.wav

# Names as an operator's files may carry them.
cp "$out/h264_aac.mp4" "$out/Grüße 映像.mp4"
cp "$out/h264_aac.mp4" "$out/h264_aac_mixed.mP4"
cp "$out/h264_aac.mp4" "$out/h264_aac_upper.MP4"

# Files that only pretend to be videos.
printf 'This is a text file, not a video.\n' >"$out/text.mp4"
: >"$out/empty.mp4"

du -sh "$out"
