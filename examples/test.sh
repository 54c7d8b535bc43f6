#!/usr/bin/env bash
# Builds both example projects against a given fpgabits, runs them on a
# generated bitstream, then gives the bitstream new contents and checks that
# a rebuild picks them up: examples/test.sh FPGABITS MKBITSTREAM
set -euo pipefail
fpgabits=$(realpath "$1")
mkbitstream=$(realpath "$2")
examples=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/fpgabits-examples-XXXXXX")
trap 'rm -rf "$work"' EXIT
bit=$work/design.bit

# What fpga_info must print for the bitstream as it is now; the CRC-32 of
# the data is the one gzip stores in its trailer, least significant byte first.
expected() {
  local name=$1 size=$2 crc
  crc=$(tail -c "$size" "$bit" | gzip -c | tail -c 8 | head -c 4 | od -An -tx1 | awk '{ print $4 $3 $2 $1 }')
  printf 'design: %s\ndevice: 7a35tcsg324\nbuilt:  2026/12/08 09:30:00\nsize:   %d bytes\ncrc32:  %s\n' \
    "$name" "$size" "$crc"
}

check() {
  local what=$1 program=$2 name=$3 size=$4
  if ! diff <(expected "$name" "$size") <("$program"); then
    echo "FAIL: $what" >&2
    exit 1
  fi
  echo "ok: $what"
}

"$mkbitstream" --name first_design --size 1000 --seed 1 "$bit"

cmake -S "$examples/cmake" -B "$work/cmake" -DFPGABITS_EXECUTABLE="$fpgabits" -DBITSTREAM="$bit" >/dev/null
cmake --build "$work/cmake" >/dev/null
check "CMake example" "$work/cmake/fpga_info" first_design 1000

mkdir "$work/make"
make -s -C "$work/make" -f "$examples/make/Makefile" FPGABITS="$fpgabits" BITSTREAM="$bit" >/dev/null
check "Makefile example" "$work/make/fpga_info" first_design 1000

# New contents; a second's pause keeps the time stamps apart on coarse clocks.
sleep 1
"$mkbitstream" --name second_design --size 2345 --seed 2 "$bit"

cmake --build "$work/cmake" >/dev/null
check "CMake example after the bitstream changed" "$work/cmake/fpga_info" second_design 2345

make -s -C "$work/make" -f "$examples/make/Makefile" FPGABITS="$fpgabits" BITSTREAM="$bit" >/dev/null
check "Makefile example after the bitstream changed" "$work/make/fpga_info" second_design 2345
