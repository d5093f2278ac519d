#!/usr/bin/env bash
# Makes sample.wav: a short spoken sentence, 16 kHz 16-bit mono, for the
# demonstration program. Needs espeak-ng and sox (not needed to build).
set -eu
cd "$(dirname "$0")"
espeak-ng -v en-us -s 150 -w /tmp/zv_sample_raw.wav "hello world, this is a sample recording for the phrase search"
sox /tmp/zv_sample_raw.wav -r 16000 -b 16 -c 1 -e signed-integer sample.wav
rm -f /tmp/zv_sample_raw.wav
