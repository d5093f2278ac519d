#!/usr/bin/env bash
# Makes the fixtures of files as encoders and muxers write them: chained Ogg
# files (links cut one after another, as `cat` or a streaming server joins
# them), a WebM Opus track muxed from a 44.1 kHz source, and a FLAC stream
# encoded to a pipe. Needs sox, vorbis-tools, opus-tools, mkvtoolnix and ffmpeg
# (developer machine only; the tests read the committed files). Run from
# anywhere: bash tests/data/make_audio2_fixtures.sh
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Sources: short tones, no dither so that reruns give the same samples.
sox -D -n -r 16000 -c 1 -b 16 "$tmp/m16.wav" synth 0.5 sine 440 gain -8
sox -D -n -r 16000 -c 2 -b 16 "$tmp/s16.wav" synth 0.5 sine 660 sine 990 gain -8
sox -D -n -r 44100 -c 1 -b 16 "$tmp/m44.wav" synth 0.4 sine 500 gain -8
sox -D -n -r 48000 -c 2 -b 16 "$tmp/s48.wav" synth 0.4 sine 700 sine 350 gain -8

# Chained Vorbis, one rate, two settings (mono at the lowest quality, then
# stereo at a high one: other codebooks and modes); joined, it is one stream.
oggenc --quiet -q 0 --serial 101 -o "$tmp/v1.ogg" "$tmp/m16.wav"
oggenc --quiet -q 6 --serial 102 -o "$tmp/v2.ogg" "$tmp/s16.wav"
cat "$tmp/v1.ogg" "$tmp/v2.ogg" > audio/chained_vorbis_16k.ogg

# Chained Opus from two input rates (44.1 kHz mono, 48 kHz stereo): both decode
# at 48 kHz, so they join.
opusenc --quiet --max-delay 100 --bitrate 16 --serial 201 "$tmp/m44.wav" "$tmp/o1.opus"
opusenc --quiet --max-delay 100 --bitrate 24 --serial 202 "$tmp/s48.wav" "$tmp/o2.opus"
cat "$tmp/o1.opus" "$tmp/o2.opus" > audio/chained_opus_48k.opus

# Links whose rates differ (16 kHz, then 44.1 kHz): no one stream.
oggenc --quiet -q 0 --serial 301 -o "$tmp/r2.ogg" "$tmp/m44.wav"
cat "$tmp/v1.ogg" "$tmp/r2.ogg" > audio/chained_vorbis_16k_44k.ogg

# WebM as mkvmerge writes it from an Ogg Opus file: the track's sampling
# frequency is the header's input rate, 44100.
mkvmerge --quiet --deterministic 4545 --webm -o audio/webm_opus_44k.webm audio/opus_from_44k.opus

# FLAC encoded to a pipe: the muxer can't go back to write the total, and the
# stream header says 0. Frames of 576 samples, so that a cut leaves some whole.
ffmpeg -nostdin -loglevel error -y -fflags +bitexact -i wav_stereo_44k.wav -c:a flac -frame_size 576 -f flac - \
  > flac_streamed_44k.flac

ls -l audio/chained_*.o* audio/webm_opus_44k.webm flac_streamed_44k.flac
