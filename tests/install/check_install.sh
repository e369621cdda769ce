#!/bin/sh
# Installs the build tree into a scratch prefix and builds a small host against it twice: with
# find_package(TarnivaleAI) and with pkg-config. Both must compile, link, run, and catch the library's
# exception by its type.
set -eu
build_dir=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" >"$work/install.log"
test -f "$work/prefix/include/tarnivale/ai/interop.h"

cmake -S "$source_dir/consumer" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >"$work/configure.log"
cmake --build "$work/cmake" >"$work/build.log"
model="$build_dir/test-models/add_one.onnx"
"$work/cmake/consumer" "$model"

pc_dir=$(dirname "$(find "$work/prefix" -name tarnivale-ai.pc | head -n 1)")
flags=$(PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags --libs tarnivale-ai)
# Qt's headers ask for position-independent code in every program that uses them.
c++ -std=c++20 -fPIC "$source_dir/consumer/main.cpp" -o "$work/pkg-config-consumer" $flags
"$work/pkg-config-consumer" "$model"

# The installed command line finds its library through its RUNPATH.
"$work/prefix/bin/tarnivale-ai" providers | grep -qx CPU
