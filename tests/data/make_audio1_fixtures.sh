#!/usr/bin/env bash
# Makes the small WAV, FLAC and MP3 fixtures of the format reader tests.
# Needs sox, flac, lame and ffmpeg (developer machine only; the tests read the
# committed files). Run from anywhere: bash tests/data/make_audio1_fixtures.sh
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# WAV: 16-bit PCM sources, no dither so that reruns give the same bytes.
sox -D -r 16000 -c 1 -n -b 16 wav_mono_16k.wav synth 0.1 sine 440 gain -3
sox -D -r 44100 -c 2 -n -b 16 wav_stereo_44k.wav synth 2600s sine 300 sine 1234 gain -3
sox -D -r 8000 -c 1 -n -b 16 wav_mono_8k.wav synth 800s sine 500 gain -6
sox -D -r 16000 -c 3 -n -b 16 wav_3ch.wav synth 200s sine 300 sine 500 sine 700
sox -D -r 16000 -c 1 -n -b 16 wav_empty.wav trim 0 0
# The mono source again as 32-bit floats (x / 32768, exact).
sox -D wav_mono_16k.wav -e floating-point -b 32 wav_float_16k.wav
# A RIFF file that is not WAV: a tiny AVI.
ffmpeg -loglevel error -y -f lavfi -i color=c=gray:s=16x16:d=0.04:r=25 -c:v rawvideo -pix_fmt gray riff_not_wav.avi

# FLAC: the same sources, losslessly.
flac -s -f --no-padding -o flac_mono_16k.flac wav_mono_16k.wav
flac -s -f --no-padding -b 576 -o flac_stereo_44k.flac wav_stereo_44k.wav
flac -s -f --no-padding --channel-map=none -o flac_3ch.flac wav_3ch.wav
# Encoded from a pipe to a pipe, the encoder can't go back to write the total
# into the stream header, which then gives 0.
sox wav_mono_16k.wav -t raw - | flac -s --no-padding --force-raw-format --endian=little --sign=signed --channels=1 \
  --bps=16 --sample-rate=16000 -c - > flac_zero_total.flac

# MP3: constant bit rate stereo and mono, VBR without the header tag, and an
# "ID3" tag with no audio frame after it.
sox -D -r 44100 -c 2 -n -b 16 "$tmp/stereo.wav" synth 0.25 sine 300 sine 800 gain -3
lame --quiet -b 64 --resample 44.1 -m s "$tmp/stereo.wav" mp3_stereo_44k.mp3
lame --quiet -b 24 -m m wav_mono_16k.wav mp3_mono_16k.mp3
sox -D -r 44100 -c 1 -n -b 16 "$tmp/vbr.wav" synth 0.4 sine 200-3000 gain -3
lame --quiet -V 6 --resample 44.1 -t "$tmp/vbr.wav" mp3_vbr_notag.mp3
# ID3v2.4 header: "ID3", version 4.0, no flags, syncsafe size 16, then 16 bytes of padding.
{ printf 'ID3\x04\x00\x00\x00\x00\x00\x10'; head -c 16 /dev/zero; printf 'not an mpeg frame at all, just text.\n'; } > mp3_id3_only.mp3

ls -l wav_*.wav riff_not_wav.avi flac_*.flac mp3_*.mp3
