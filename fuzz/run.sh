#!/usr/bin/env bash
# Fuzzes the converter, the inflater and the image reader, SECONDS in all:
# half of them for the image reader, a quarter for each of the others.
#   fuzz/run.sh BUILD_DIR [SECONDS] [JOBS]
# BUILD_DIR was configured with CC=clang CXX=clang++ -DFPGABITS_FUZZ=ON. The
# seed corpora are made afresh from mkbitstream's files; what the fuzzer adds
# to them stays in BUILD_DIR/corpus, BUILD_DIR/corpus-inflate and
# BUILD_DIR/corpus-image. A finding is written to BUILD_DIR/findings and
# makes this script fail.
set -euo pipefail
build=$(realpath "$1")
seconds=${2:-240}
jobs=${3:-1}
mk=$build/mkbitstream
corpus=$build/corpus
seeds=$build/seeds
inflate_seeds=$build/seeds-inflate
image_seeds=$build/seeds-image
rm -rf "$seeds" "$inflate_seeds" "$image_seeds"
mkdir -p "$corpus" "$build/corpus-inflate" "$build/corpus-image" "$seeds" "$inflate_seeds" "$image_seeds" \
  "$build/findings"

# The shortest header, typical headers with long and odd fields, and cut files.
printf '\x00\x09\x0f\xf0\x0f\xf0\x0f\xf0\x0f\xf0\x00\x00\x01a\x00\x00b\x00\x00c\x00\x00d\x00\x00e' >"$seeds/shortest"
cp "$seeds/shortest" "$seeds/shortest-empty-data"
printf '\x00\x00\x00\x00' >>"$seeds/shortest-empty-data"
"$mk" --size 40 "$seeds/typical"
"$mk" --size 9 --name "$(printf 'x%.0s' {1..60})" --device 7z010clg400 "$seeds/long-name"
"$mk" --size 17 --name 'a"b\c??/' --device $'line\nbreak' --date $'\x80\xff' --time '' "$seeds/odd-texts"
"$mk" --size 8 --length 0xffffffff "$seeds/huge-length"
"$mk" --size 64 --length 0x100 "$seeds/short-data"
for cut in 1 2 11 13 16 40 60 70 76 80; do
  head -c "$cut" "$seeds/typical" >"$seeds/typical-cut-$cut"
done

# Raw DEFLATE streams of configuration data, from gzip's output without its
# 10-byte header and 8-byte trailer, after a byte that chooses the window:
# 32 KiB, as gzip made them, and 512 bytes, which they overreach.
for device in 7a35tcsg324 6slx9tqg144 3s500evq100; do
  "$mk" --device "$device" --size 30000 "$seeds/$device"
  gzip -9nc "$seeds/$device" | tail -c +11 | head -c -8 >"$inflate_seeds/stream"
  { printf '\x06' && cat "$inflate_seeds/stream"; } >"$inflate_seeds/$device-32k"
  { printf '\x0e' && cat "$inflate_seeds/stream"; } >"$inflate_seeds/$device-512"
done
rm "$inflate_seeds/stream"
printf '\x06\x03\x00' >"$inflate_seeds/empty"

# Image files behind the four bytes that choose how fuzz_image.cpp reads them
# (chunkings, interface, partial, window, model, device and IDCODE asked
# for): bitstream files of each group of devices, their gzip files (by gzip
# with the name, and one with every optional header field, its header CRC
# taken from gzip's trailer for the header's bytes), raw data, its bits
# reversed, a partial image, and cut and corrupted ones.
image() { # NAME OPTIONS FILE...
  local name=$1 options=$2
  shift 2
  { printf '%b' "$options" && cat "$@"; } >"$image_seeds/$name"
}
from=$(printf '\\%03o' {0..255})
to=$(for ((i = 0; i < 256; ++i)); do
  r=0
  for ((b = 0; b < 8; ++b)); do ((r |= (i >> b & 1) << (7 - b))); done
  printf '\\%03o' "$r"
done)
work=$(mktemp -d)
n=0
for device in 7a35tcsg324 6slx9tqg144 3s500evq100 xc2s200fg456 3s200avq100 xcku040-ffva1156-2-e; do
  bit=$work/$device.bit
  raw=$work/$device.raw
  "$mk" --device "$device" --size 3000 --seed $((++n)) "$bit"
  tail -c 3000 "$bit" >"$raw"
  size=$(stat -c %s "$bit")
  (cd "$work" && gzip -9c "$device.bit" >"$device.bit.gz" && gzip -9nc "$device.raw" >"$device.raw.gz")
  # Chunkings n and n+1, serial or parallel, the largest window, the model
  # of the header's device.
  options=$(printf '\\x%02x\\x06\\x00\\x00' $((n % 8 | (n + 1) % 8 << 3 | n % 2 << 6)))
  image "$device-bit" "$options" "$bit"
  image "$device-raw" "$options" "$raw"
  image "$device-gz" "$options" "$bit.gz"
  image "$device-raw-gz" "$options" "$raw.gz"
  image "$device-gz-window-512" '\x11\x00\x00\x00' "$bit.gz"
  image "$device-cut-header" "$options" <(head -c 40 "$bit")
  image "$device-cut-data" "$options" <(head -c $((size - 2900)) "$bit")
  image "$device-cut-late" "$options" <(head -c $((size - 5)) "$bit")
  image "$device-gz-cut" "$options" <(head -c $(($(stat -c %s "$bit.gz") / 2)) "$bit.gz")
  image "$device-gz-corrupt" "$options" <(head -c 200 "$bit.gz" && printf '\x55' && tail -c +202 "$bit.gz")
  image "$device-raw-reversed" "$options" <(LC_ALL=C tr "$from" "$to" <"$raw")
  # Larger files make gzip write blocks with their own codes.
  "$mk" --device "$device" --size 30000 --seed "$n" "$work/large.bit"
  gzip -9c "$work/large.bit" >"$work/large.bit.gz"
  image "$device-gz-large" "$options" "$work/large.bit.gz"
done
# Data that does not compress, which gzip stores.
"$mk" --device 7x99 --size 2000 "$work/random.bit"
gzip -9c "$work/random.bit" >"$work/random.bit.gz"
image random-gz '\x0c\x06\x00\x00' "$work/random.bit.gz"
# Every optional gzip header field, read in single bytes and small chunks by
# a parallel x8 load, with a 4 KiB window and the device and IDCODE asked for.
bit=$work/7a35tcsg324.bit
header='\x1f\x8b\x08\x1f\x00\x00\x00\x00\x02\x03\x06\x00fb\x02\x00ok7a35tcsg324.bit\x00a comment\x00'
crc=$(printf '%b' "$header" | gzip -c | tail -c 8 | head -c 4 | od -An -tu4 | tr -d ' ')
{ printf '%b' "$header" && printf '%b' "$(printf '\\x%02x\\x%02x' $((crc & 255)) $((crc >> 8 & 255)))" &&
  gzip -9nc "$bit" | tail -c +11; } >"$work/fields.gz"
image every-gzip-field '\x51\x03\x12\x02' "$work/fields.gz"
image every-gzip-field-cut '\x0a\x03\x00\x00' <(head -c 36 "$work/fields.gz")
# A partial image into a configured device, into one that is not, and in a
# full load; padding after the data; a second gzip member.
"$mk" --name 'top;PARTIAL=TRUE;UserID=0XFFFFFFFF' --size 2000 "$work/partial.bit"
image partial '\x8a\x26\x00\x00' "$work/partial.bit"
image partial-unconfigured '\xca\x06\x00\x00' "$work/partial.bit"
image partial-in-a-full-load '\x0a\x06\x00\x00' "$work/partial.bit"
image padded '\x3a\x06\x00\x00' "$bit" <(head -c 700 /dev/zero)
image two-members '\x3a\x06\x00\x00' "$bit.gz" "$bit.gz"
rm -rf "$work"

cd "$build/findings"
options=(-print_final_stats=1)
if ((jobs > 1)); then
  # Parallel jobs log to findings/fuzz-N.log.
  options+=(-jobs="$jobs" -workers="$jobs")
fi
quarter=$(((seconds + 3) / 4))
"$build/fuzz/fpgabits_fuzz" "$corpus" "$seeds" -max_len=4096 -max_total_time="$quarter" "${options[@]}"
"$build/fuzz/fpgabits_fuzz_inflate" "$build/corpus-inflate" "$inflate_seeds" -max_len=4096 \
  -max_total_time="$quarter" "${options[@]}"
# Gzip files of real structure are larger than the other targets' inputs.
"$build/fuzz/fpgabits_fuzz_image" "$build/corpus-image" "$image_seeds" -max_len=65536 \
  -max_total_time=$((2 * quarter)) "${options[@]}"
if compgen -G 'crash-*' >/dev/null || compgen -G 'leak-*' >/dev/null || compgen -G 'timeout-*' >/dev/null; then
  echo "findings in $build/findings" >&2
  exit 1
fi
