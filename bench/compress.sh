#!/usr/bin/env bash
# What COMPRESS gains and costs: bench/compress.sh [BITSTREAM_FOLDER]
# - the compression ratio of each bitstream in the folder (by default the
#   real ones beside the project, else generated ones), and the median;
# - the inflater's speed against zlib's inflate on the same streams;
# - its code and its work area on a Cortex-M3 at -Os, with the loader's;
# - the time to compile the data of the 7a35t bitstream (2.2 MB), with and
#   without COMPRESS, each as its own object at -O2, as fpgabits_add_bitstream()
#   compiles it.
# Installs what it needs with apt-get, and prints every figure in one run.
set -euo pipefail
cd "$(dirname "$0")/.."
folder=${1:-../shared/bitstreams}

need=()
[[ -x /usr/bin/time ]] || need+=(time)
[[ -f /usr/include/zlib.h ]] || need+=(zlib1g-dev)
command -v arm-none-eabi-gcc >/dev/null || need+=(gcc-arm-none-eabi)
if ((${#need[@]})); then
  apt-get update -qq && apt-get install -y -qq "${need[@]}"
fi

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DFPGABITS_BENCHMARK=ON >/dev/null
cmake --build build-bench -j"$(nproc)" --target fpgabits fpgabits-deflate mkbitstream inflate_bench >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/fpgabits-compress-XXXXXX")
trap 'rm -rf "$work"' EXIT

files=()
[[ -d $folder ]] && mapfile -t files < <(find "$(realpath "$folder")" -name '*.bit' | sort)
if ((${#files[@]} == 0)); then
  echo "no bitstreams in $folder: generated ones instead"
  for device in 7a35tcsg324 6slx9tqg144 3s500evq100 xcku040-ffva1156; do
    build-bench/mkbitstream --device "$device" --size $((2 << 20)) "$work/$device.bit"
    files+=("$work/$device.bit")
  done
fi
build-bench/bench/inflate_bench "${files[@]}"

echo
flags=(-mcpu=cortex-m3 -mthumb -Os -std=c99 -Wall -Wextra)
arm-none-eabi-gcc "${flags[@]}" -c loader/fpgabits_inflate.c -o "$work/inflate.o"
arm-none-eabi-gcc "${flags[@]}" -c loader/fpgabits_load.c -o "$work/load.o"
code() { arm-none-eabi-size "$1" | awk 'NR == 2 { print $1 }'; }
printf '%-48s %8d   goal <= 3072 %s\n' "Cortex-M3 code of the inflater and its glue" "$(code "$work/inflate.o")" \
  "$( (($(code "$work/inflate.o") <= 3072)) && echo met || echo MISSED)"
printf '%-48s %8d\n' "Cortex-M3 code of the loader" "$(code "$work/load.o")"
state=$(sed -n 's/^#define FPGABITS_INFLATE_STATE_SIZE \([0-9]*\)$/\1/p' loader/fpgabits_load.h)
printf '%-48s %8s   goal <= window + 3072 %s\n' "work area" "window + $state" \
  "$( ((state <= 3072)) && echo met || echo MISSED)"

echo
design=
for file in "${files[@]}"; do
  [[ $(basename "$file") == *7a35t* ]] && design=$file
done
design=${design:-${files[0]}}
mkdir "$work/plain" "$work/packed"
(cd "$work/plain" && "$OLDPWD/build-bench/fpgabits" "$design" >/dev/null)
build-bench/fpgabits-deflate 1024 "$work/plain/fpgabits.i" "$work/packed/fpgabits.i"
for dir in plain packed; do
  printf '#include <stddef.h>\n#include <stdint.h>\n#define FPGABITS const fpga_data\n#include "fpgabits.i"\n' \
    >"$work/$dir/fpga.c"
done
compile() { (cd "$work/$1" && /usr/bin/time -f %e gcc -O2 -c fpga.c -o fpga.o 2>&1 | tail -n 1); }
plain=$(compile plain)
packed=$(compile packed)
echo "the data of $(basename "$design"), compiled:"
printf '%-48s %8.2f s\n' "  as it is" "$plain"
printf '%-48s %8.2f s\n' "  with COMPRESS" "$packed"
awk -v a="$plain" -v b="$packed" 'BEGIN { r = a / (b > 0.005 ? b : 0.005)
  printf "%-48s %8.1f   goal >= 10 %s\n", "compile time as it is / with COMPRESS", r, (r >= 10 ? "met" : "MISSED") }'
