#!/usr/bin/env bash
# Makes the audio fixtures of tests/io and tests/engine. Needs sox, opus-tools,
# vorbis-tools, flac, lame, ffmpeg, mkvtoolnix and python3 (developer machine
# only; the tests read the committed files). Run from any directory.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Sources: tones short enough to keep the files small.
sox -D -n -r 48000 -c 1 -b 16 "$tmp/m48.wav" synth 0.6 sine 200-2000 gain -8
sox -D -n -r 48000 -c 2 -b 16 "$tmp/s48.wav" synth 0.6 sine 200-2000 sine 900-300 gain -8
sox -D -n -r 16000 -c 1 -b 16 "$tmp/m16.wav" synth 0.6 sine 300-3000 gain -8
sox -D -n -r 44100 -c 1 -b 16 "$tmp/m44.wav" synth 0.6 sine 250-2500 gain -8
sox -D -n -r 44100 -c 2 -b 16 "$tmp/s44.wav" synth 0.6 sine 200-2000 sine 900-300 gain -8
sox -D -n -r 48000 -c 3 -b 16 "$tmp/c3.wav" synth 0.3 sine 200 sine 400 sine 800 gain -8
sox -D -n -r 48000 -c 6 -b 16 "$tmp/c6.wav" synth 0.3 sine 200 sine 400 sine 800 sine 300 sine 500 sine 700 gain -8

enc_opus() { opusenc --quiet --max-delay 100 --serial 4242 "$@"; }
enc_opus --bitrate 16 "$tmp/m48.wav" opus_mono_48k.opus
enc_opus --bitrate 48 "$tmp/s48.wav" opus_stereo_48k.opus
enc_opus --bitrate 16 "$tmp/m16.wav" opus_from_16k.opus
enc_opus --bitrate 16 "$tmp/m44.wav" opus_from_44k.opus
enc_opus --bitrate 64 "$tmp/c3.wav" opus_3ch.opus

enc_vorbis() { oggenc --quiet -q 0 --serial 4343 "$@"; }
enc_vorbis -o vorbis_mono_16k.ogg "$tmp/m16.wav"
enc_vorbis -o vorbis_stereo_44k.ogg "$tmp/s44.wav"
enc_vorbis -o vorbis_6ch.ogg "$tmp/c6.wav"

# Headers only: the pages before the first page that holds audio (granule
# position above 0), cut from the files above.
python3 - opus_mono_48k.opus opus_headers_only.opus vorbis_mono_16k.ogg vorbis_headers_only.ogg <<'PY'
import struct, sys
def pages(data):
    at = 0
    while at < len(data):
        assert data[at:at + 4] == b"OggS"
        nseg = data[at + 26]
        size = 27 + nseg + sum(data[at + 27:at + 27 + nseg])
        yield data[at:at + size]
        at += size
args = sys.argv[1:]
for src, dst in zip(args[0::2], args[1::2]):
    out = b""
    for page in pages(open(src, "rb").read()):
        if struct.unpack("<q", page[6:14])[0] > 0:
            break
        out += page
    open(dst, "wb").write(out)
PY

# Two logical streams whose pages interleave.
ffmpeg -nostdin -loglevel error -y -i "$tmp/m48.wav" -i "$tmp/m16.wav" -map 0:a -map 1:a -c:a libopus -b:a 16k \
  -page_duration 20000 -fflags +bitexact two_streams.ogg

# WebM: the Ogg fixtures' packets remuxed, so that tests can decode the same
# packets from the Ogg file as a reference. Opus stereo; Vorbis mono in
# blocks of one frame; Vorbis stereo in laced blocks; a video track before an
# Opus track; video alone; the Opus file cut before its first cluster; six-channel Vorbis;
# a file cut inside its clusters; and (Matroska) a PCM track
# before a Vorbis track.
mkv() { mkvmerge --quiet "$@"; }
mkv --webm -o webm_opus.webm opus_stereo_48k.opus
mkv --webm --disable-lacing -o webm_vorbis.webm vorbis_mono_16k.ogg
mkv --webm -o webm_laced.webm vorbis_stereo_44k.ogg
ffmpeg -nostdin -loglevel error -y -fflags +bitexact -f lavfi -i testsrc=size=16x16:rate=5 -t 0.6 -c:v libvpx \
  -b:v 10k -f webm "$tmp/video.webm"
mkv --webm -o webm_video_first.webm "$tmp/video.webm" opus_mono_48k.opus
mkv --webm -o webm_video_only.webm "$tmp/video.webm"
python3 -c "import sys; d = open('webm_opus.webm', 'rb').read(); sys.stdout.buffer.write(d[:d.find(b'\\x1f\\x43\\xb6\\x75')])" \
  > webm_headers_only.webm
mkv --webm -o webm_vorbis_6ch.webm vorbis_6ch.ogg
size=$(stat -c %s webm_opus.webm)
head -c $((size * 2 / 3)) webm_opus.webm > webm_truncated.webm
sox -D -n -r 8000 -c 1 -b 16 "$tmp/pcm.wav" synth 0.05 sine 440
mkv -o pcm_then_vorbis.mka "$tmp/pcm.wav" vorbis_mono_16k.ogg

# FLAC and MP3 for indexing, and a FLAC stream of no frames.
flac --silent --force -o flac_mono_16k.flac "$tmp/m16.wav"
flac --silent --force --no-padding --force-raw-format --endian=little --sign=signed --channels=1 --bps=16 \
  --sample-rate=16000 -o flac_empty.flac - < /dev/null
lame --quiet -b 32 --resample 44.1 --noreplaygain "$tmp/m44.wav" mp3_mono_44k.mp3
