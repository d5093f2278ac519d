#!/usr/bin/env bash
# Sets up a fresh machine, builds everything and runs the main job: the
# demonstration program on the structural sample model and the committed
# sample recording. The sample model is not trained; real searches need a
# trained model file (pass its path to tools/lumarin_demo as -model_path).
set -eu
cd "$(dirname "$0")/.."
if [ "$(id -u)" = 0 ]; then bash scripts/deps.sh; fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)"
(cd build && ctest --output-on-failure -j "$(nproc)")
build/tools/make_sample_model build/sample_model.bin
build/tools/lumarin_demo -model_path build/sample_model.bin \
  -audio_path tests/data/engine/sample.wav -phrase "hello world"
