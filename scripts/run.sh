#!/usr/bin/env bash
# Sets up a fresh machine, builds the library and the demonstration quietly,
# and runs the main job: the demonstration program on the structural sample
# model and the committed sample recording. The test suite is run by
# scripts/test.sh. The sample model is not trained; real searches need a
# trained model file (pass its path to tools/lumarin_demo as -model_path).
#
#   JOBS=4 bash scripts/run.sh      # parallel build jobs (default: every core)
set -eu
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
log=build/run.log
mkdir -p build
: >"$log"
if [ "$(id -u)" = 0 ]; then
  echo "Installing the packages the build needs (log: $log)"
  bash scripts/deps.sh >>"$log" 2>&1 || { echo "package installation failed, see $log"; exit 1; }
fi
echo "Building the library and the demonstration (log: $log)"
{
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    cmake --build build -j "$jobs" --target zv_lumarin lumarin_demo make_sample_model
} >>"$log" 2>&1 || { echo "build failed, see $log"; exit 1; }
build/tools/make_sample_model build/sample_model.bin >>"$log" 2>&1
echo
echo "\$ lumarin_demo -model_path build/sample_model.bin -audio_path tests/data/engine/sample.wav -phrase \"hello world\""
build/tools/lumarin_demo -model_path build/sample_model.bin \
  -audio_path tests/data/engine/sample.wav -phrase "hello world"
echo
echo "The engine indexed the recording and searched it for the phrase; the sample model is untrained,"
echo "so these matches show the road from audio to matches, not what was said (see README.md)."
