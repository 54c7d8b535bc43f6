#!/usr/bin/env bash
# What compiling a bitstream into firmware costs: converts generated
# bitstreams of the given sizes and compiles each as its own object with gcc
# and clang at -O2, as fpgabits_add_bitstream() does, printing the time and
# peak memory of each compile and the cost per MiB:
#   bench/compile.sh [MiB ...]   (default: 1 4 16)
set -euo pipefail
cd "$(dirname "$0")/.."
sizes=("${@:-1 4 16}")
# shellcheck disable=SC2206
sizes=(${sizes[*]})

need=()
[[ -x /usr/bin/time ]] || need+=(time)
command -v clang >/dev/null || need+=(clang)
if ((${#need[@]})); then
  apt-get update -qq && apt-get install -y -qq "${need[@]}"
fi

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" --target fpgabits mkbitstream >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/fpgabits-compile-XXXXXX")
trap 'rm -rf "$work"' EXIT
cp examples/make/fpga.c examples/make/fpga.h "$work"

printf '%-8s %6s %10s %10s %14s %14s\n' compiler MiB seconds "peak MiB" "seconds/MiB" "peak MiB/MiB"
for mib in "${sizes[@]}"; do
  build-bench/mkbitstream --size $((mib << 20)) "$work/design.bit"
  (cd "$work" && "$OLDPWD/build-bench/fpgabits" design.bit >/dev/null)
  for cc in gcc clang; do
    read -r seconds kib < <(cd "$work" && /usr/bin/time -f '%e %M' "$cc" -O2 -c fpga.c -o fpga.o 2>&1 | tail -n 1)
    awk -v cc="$cc" -v mib="$mib" -v s="$seconds" -v k="$kib" \
      'BEGIN { printf "%-8s %6d %10.2f %10.0f %14.2f %14.0f\n", cc, mib, s, k / 1024, s / mib, k / 1024 / mib }'
  done
done
