#!/bin/sh
# Installs what is missing, builds, and runs the main job on its built-in default: it builds the
# demo package with zzpack and lists it.
set -eu
cd "$(dirname "$0")/.."

./scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target zzpack zanto-demo-items

demo=build/demo
mkdir -p "$demo/items"
build/tools/demo/zanto-demo-items "$demo/items"
build/tools/zzpack/zzpack create "$demo/demo.zz" \
    --item "$demo/items/firmware.bin" --name firmware --title "Main firmware" --target 1 \
    --item "$demo/items/soundbank.bin" --name soundbank --title "Sound bank" --target 16 --address 0x200000 \
    --item "$demo/items/demo.bin" --name demo --title "Demo songs" --target 6 --address 0x80000
build/tools/zzpack/zzpack verify "$demo/demo.zz"
build/tools/zzpack/zzpack list "$demo/demo.zz"
