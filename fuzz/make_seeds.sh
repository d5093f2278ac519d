#!/usr/bin/env bash
# Remakes the seeds of every fuzz target in fuzz/corpus/<target>/seed_*: the
# writers' seeds from zv_fuzz_make_seeds, the audio seeds from the smallest
# test fixtures of each format. Reproducers (files not named seed_*) stay.
set -eu
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 3 --target zv_fuzz_make_seeds >/dev/null
find fuzz/corpus -name 'seed_*' -delete 2>/dev/null || true
"$build"/fuzz/zv_fuzz_make_seeds fuzz/corpus

copy() {  # target fixture...
  local target=$1
  shift
  mkdir -p "fuzz/corpus/$target"
  for f in "$@"; do cp "tests/data/$f" "fuzz/corpus/$target/seed_$(basename "$f")"; done
}
copy audio_wav wav_mono_8k.wav wav_3ch.wav
copy audio_flac flac_mono_16k.flac flac_3ch.flac
copy audio_mp3 mp3_mono_16k.mp3 mp3_id3_only.mp3
copy audio_opus audio/opus_headers_only.opus audio/opus_from_16k.opus
copy audio_vorbis audio/vorbis_mono_16k.ogg
copy audio_webm audio/webm_opus.webm
