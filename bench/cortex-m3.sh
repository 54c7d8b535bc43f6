#!/usr/bin/env bash
# The loader's instructions per configuration byte on a Cortex-M3, counted
# exactly, and its code size:
#   bench/cortex-m3.sh [-d DEVICE] [-r FUNCTION] [-i serial|x8] [-O 2|s] [-p] [BITSTREAM_FOLDER]
# The options pick cases (each as often as wanted; all cases where left out):
#   -d DEVICE    the bitstreams whose device type contains DEVICE (3s500e,
#                6slx9, 7a35t)
#   -r FUNCTION  loader functions (fpgabits_load_deflate, fpgabits_load)
#   -i           interfaces (serial, x8, jtag, jtag-shift); -O optimisations
#                (-O2 or -Os)
#   -p           also where the instructions went, by function
# e.g. bench/cortex-m3.sh -d 3s500e -r fpgabits_load_deflate -i serial -O 2
# takes a few seconds.
#
# How: the loader (loader/*.c, built with arm-none-eabi-gcc -mcpu=cortex-m3
# -mthumb at -O2 and -Os, with newlib-nano's memset and memmove) is linked
# into a small static program (cortex-m3/harness.c) that runs under qemu-arm
# in user mode, which runs the Thumb-2 code unchanged: -singlestep with
# -d nochain,exec writes one line for each instruction executed, into a fifo
# that cortex-m3/trace_count reads. It counts the instructions executed from
# the call of the loader function to its return: those of the loader and the
# libc functions it calls ("loader"), and those of the port's callbacks
# ("port": a device that is ready at once, whose send only counts the bytes,
# and that is configured once all the data is in), not those of the
# harness's start-up and set-up. The count is exact and does not depend on
# how busy the machine is; a full run single-steps 574 million instructions
# and takes 8 to 10 minutes on a busy 2-core machine (5.5 minutes of
# processor time), the 2.2 MB file most of it. Not run in CI.
#
# Inputs: the bitstreams of the three device types below from the folder (by
# default the real ones beside the project: the first file whose name has
# the device type), or generated ones of the same device types and sizes
# where the folder has none. fpgabits_load gets the configuration data (after
# the header's length word), fpgabits_load_deflate that data as raw DEFLATE
# with a window of 1024 bytes, as fpgabits-deflate 1024 makes it.
#
# Goals, in instructions per configuration byte: for fpgabits_load_deflate,
# serial as below and parallel x8 at most the serial goal + 1, counting
# loader and port; for fpgabits_image (a gzip file in 512-byte chunks), the
# same plus its CRC-32 pass, as measured in the same run; for fpgabits_load
# over parallel x8, at most 2 besides the port's callbacks (the loader
# column); for fpgabits_image_check, the check pass of a bitstream file in
# 512-byte chunks (which computes the CRC-32 and the configuration logic's
# own CRC checks), at most 12 on the 32C file; its interface does not matter,
# and only serial is counted; for fpgabits_image_bit, a bitstream file in
# 512-byte chunks over JTAG, at most 60 through tck() alone and 3 with
# shift(), besides the port's callbacks (the loader column), and over serial
# for comparison. The code size of each loader/*.c at -Os, and without
# the JTAG interface (FPGABITS_WITH_JTAG 0): the inflater and the loader
# at most 4.5 KiB, the image path without JTAG at most 7.5 KiB, and none
# with .data or .bss.
#
# Installs what it needs with apt-get.
set -euo pipefail
cd "$(dirname "$0")/.."

# The bitstreams: device type, group, size of the configuration data.
devices=(
  "3s500evq100 16A 283776"
  "6slx9ftg256 22F 340884"
  "7a35ticsg324 32C 2192012"
)
# The loader functions counted, one a row: the name the harness knows it by,
# and its input (config: the configuration data as it is; deflate: raw
# DEFLATE). A new function is a row here and in cortex-m3/harness.c, and a
# new kind of input one more file from cortex-m3/input.cpp.
rows=(
  "fpgabits_load_deflate deflate"
  "fpgabits_load config"
  "fpgabits_image gz"
  "fpgabits_image_check bit"
  "fpgabits_image_bit bit"
)
interfaces=(serial x8 jtag jtag-shift)
optimisations=(O2 Os)

# The goal of a case, or - where it has none: row, interface, group.
goal() {
  local serial
  case $3 in
    16A) serial=9.7 ;;
    22F) serial=19.1 ;;
    32C) serial=14.9 ;;
    *) serial= ;;
  esac
  case $1/$2/$3 in
    fpgabits_load_deflate/serial/* | fpgabits_image/serial/*) echo "${serial:--}" ;;
    fpgabits_load_deflate/x8/* | fpgabits_image/x8/*) awk -v s="$serial" 'BEGIN { print s == "" ? "-" : s + 1 }' ;;
    fpgabits_load/x8/*) echo 2 ;;
    fpgabits_image_check/serial/32C) echo 12 ;;
    fpgabits_image_bit/jtag/*) echo 60 ;;
    fpgabits_image_bit/jtag-shift/*) echo 3 ;;
    *) echo - ;;
  esac
}
# Which count a goal is for: loader, or total (loader and port).
goal_counts() { [[ $1 == fpgabits_load || $1 == fpgabits_image_bit ]] && echo loader || echo total; }
# Whether a row is counted over an interface: JTAG for the bitstream file
# alone, the check pass once.
counted() {
  case $1/$2 in
    fpgabits_image_bit/jtag* | fpgabits_image_bit/serial) return 0 ;;
    fpgabits_image_bit/* | */jtag* | fpgabits_image_check/x8) return 1 ;;
    *) return 0 ;;
  esac
}

usage() {
  sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}
picked_devices=() picked_rows=() picked_interfaces=() picked_optimisations=()
profile=
while getopts d:r:i:O:ph option; do
  case $option in
    d) picked_devices+=("$OPTARG") ;;
    r) picked_rows+=("$OPTARG") ;;
    i) picked_interfaces+=("$OPTARG") ;;
    O) picked_optimisations+=("O${OPTARG#O}") ;;
    p) profile=--profile ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
(($# <= 1)) || usage
folder=${1:-../shared/bitstreams}

# Whether $1 is one of the values that follow, or any where none follow;
# picked_part: whether it contains one of them.
picked() {
  local value=$1 pattern
  shift
  (($# == 0)) && return 0
  for pattern in "$@"; do
    [[ $value == "$pattern" ]] && return 0
  done
  return 1
}
picked_part() {
  local value=$1 pattern
  shift
  (($# == 0)) && return 0
  for pattern in "$@"; do
    [[ $value == *"$pattern"* ]] && return 0
  done
  return 1
}

need=()
[[ -f /usr/include/zlib.h ]] || need+=(zlib1g-dev)
command -v arm-none-eabi-gcc >/dev/null || need+=(gcc-arm-none-eabi)
compgen -G '/usr/lib/arm-none-eabi/newlib/thumb/v7-m/nofp/libc_nano.a' >/dev/null || need+=(libnewlib-arm-none-eabi)
command -v qemu-arm >/dev/null || need+=(qemu-user)
if ((${#need[@]})); then
  apt-get update -qq && apt-get install -y -qq "${need[@]}"
fi

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DFPGABITS_BENCHMARK=ON >/dev/null
cmake --build build-bench -j2 --target cortex_m3_input trace_count mkbitstream >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/fpgabits-cortex-m3-XXXXXX")
counter=
trap '[[ -n $counter ]] && kill "$counter" 2>/dev/null; rm -rf "$work"' EXIT

# The program, at each optimisation: loader/*.c, the harness and the port
# at that level; start.S; newlib-nano for the memset and memmove that GCC
# calls for some loops.
arm=(arm-none-eabi-gcc -mcpu=cortex-m3 -mthumb)
here=bench/cortex-m3
for opt in "${optimisations[@]}"; do
  mkdir "$work/$opt"
  objects=("$work/$opt/start.o" "$work/$opt/harness.o" "$work/$opt/port.o")
  "${arm[@]}" -c "$here/start.S" -o "$work/$opt/start.o"
  "${arm[@]}" "-$opt" -std=c99 -Wall -Wextra -ffreestanding -Iloader -c "$here/harness.c" -o "$work/$opt/harness.o"
  "${arm[@]}" "-$opt" -std=c99 -Wall -Wextra -Iloader -c "$here/port.c" -o "$work/$opt/port.o"
  for source in loader/*.c; do
    object=$work/$opt/$(basename "$source" .c).o
    "${arm[@]}" "-$opt" -std=c99 -Wall -Wextra -c "$source" -o "$object"
    objects+=("$object")
  done
  "${arm[@]}" -nostartfiles -static -T "$here/bench.ld" --specs=nano.specs "${objects[@]}" -o "$work/$opt/harness"
  arm-none-eabi-nm -n "$work/$opt/harness" >"$work/$opt/harness.nm"
done

echo "Cortex-M3 code at -Os (arm-none-eabi-size: text includes read-only data)"
printf '%-24s %6s %6s %6s %9s   %s\n' object text data bss "no JTAG" limit
total=0 core=0 image_path=0 bad=0
for object in "$work"/Os/fpgabits_*.o; do
  read -r text data bss _ < <(arm-none-eabi-size "$object" | awk 'NR == 2')
  name=$(basename "$object")
  # The same file without the JTAG interface, as firmware that loads over
  # the pins alone compiles it.
  "${arm[@]}" -Os -std=c99 -DFPGABITS_WITH_JTAG=0 -c "loader/${name%.o}.c" -o "$work/no-jtag.o"
  no_jtag=$(arm-none-eabi-size "$work/no-jtag.o" | awk 'NR == 2 { print $1 }')
  total=$((total + text))
  image_path=$((image_path + no_jtag))
  limit=
  case $name in
    fpgabits_load.o | fpgabits_inflate.o) core=$((core + text)) ;;
  esac
  if ((data + bss > 0)); then
    limit+=" has .data or .bss: MISSED"
    bad=1
  fi
  printf '%-24s %6d %6d %6d %9d   %s\n' "$name" "$text" "$data" "$bss" "$no_jtag" "$limit"
done
printf '%-24s %6d %30s   <= 4608 %s\n' "inflater and loader" "$core" "" "$( ((core <= 4608)) && echo met || echo MISSED)"
printf '%-24s %6d %30s\n' "all" "$total" ""
printf '%-24s %37d   <= 7680 %s\n' "image path, no JTAG" "$image_path" "$( ((image_path <= 7680)) && echo met || echo MISSED)"
((bad == 0)) && echo "no .data or .bss in any object"

# The inputs of each device picked: PREFIX.config, PREFIX.deflate, from its
# bitstream.
declare -A prefix_of config_size_of label_of
echo
echo "Inputs: configuration data, and its raw DEFLATE stream at a window of 1024"
for entry in "${devices[@]}"; do
  read -r device group size <<<"$entry"
  picked_part "$device" "${picked_devices[@]}" || continue
  prefix=$work/$device
  bit=
  for candidate in "$folder"/*"$device"*.bit; do
    if [[ -f $candidate ]]; then
      bit=$candidate
      break
    fi
  done
  label="$device ($group)"
  if [[ -z $bit ]]; then
    bit=$work/generated-$device.bit
    build-bench/mkbitstream --device "$device" --size "$size" "$bit"
    label="*$label"
  fi
  prefix_of[$device]=$prefix
  label_of[$device]=$label
  config_size_of[$device]=$(build-bench/bench/cortex_m3_input "$bit" "$prefix")
  awk -v label="$label" -v data="${config_size_of[$device]}" -v stream="$(stat -c %s "$prefix.deflate")" \
    'BEGIN { printf "%-20s %9d bytes, %9d bytes of DEFLATE, ratio %.1f\n", label, data, stream, data / stream }'
done

# Runs one case: the counts into $work/count, the seconds it took into
# seconds.
run_case() {
  local opt=$1 row=$2 interface=$3 input=$4 config_size=$5 start=$EPOCHREALTIME status=0
  rm -f "$work/trace"
  mkfifo "$work/trace"
  # An image's goal takes in its CRC-32 pass, which the profile tells.
  local by_function=$profile
  [[ $row == fpgabits_image ]] && by_function=--profile
  build-bench/bench/trace_count "$work/$opt/harness.nm" "$work/trace" ${by_function:+"$by_function"} >"$work/count" &
  counter=$!
  qemu-arm -cpu cortex-a8 -singlestep -d nochain,exec -D "$work/trace" \
    "$work/$opt/harness" "$row" "$interface" "$input" "$config_size" >"$work/run" || status=$?
  if ((status != 0)); then
    echo "$row $interface -$opt $input: the load failed: $(cat "$work/run")" >&2
    exit 1
  fi
  wait "$counter"
  counter=
  seconds=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.0f", b - a }')
}

echo
echo "Instructions per configuration byte, Cortex-M3 code under qemu-arm: loader = the loader and the libc"
echo "functions it calls, port = the port's callbacks; goals and ratios are for the count named by the goal"
printf '%-22s %-20s %-9s %-3s %8s %6s %8s %10s %6s %5s\n' function bitstream interface opt loader port total goal ratio s
started=$EPOCHREALTIME
all=0 cases=0
for entry in "${rows[@]}"; do
  read -r row kind <<<"$entry"
  picked "$row" "${picked_rows[@]}" || continue
  for device_entry in "${devices[@]}"; do
    read -r device _ <<<"$device_entry"
    [[ -n ${prefix_of[$device]:-} ]] || continue
    bytes=${config_size_of[$device]}
    label=${label_of[$device]}
    group=${label##*(}
    group=${group%)}
    for interface in "${interfaces[@]}"; do
      picked "$interface" "${picked_interfaces[@]}" || continue
      counted "$row" "$interface" || continue
      for opt in "${optimisations[@]}"; do
        picked "$opt" "${picked_optimisations[@]}" || continue
        run_case "$opt" "$row" "$interface" "${prefix_of[$device]}.$kind" "$bytes"
        read -r _ loader < <(sed -n 1p "$work/count")
        read -r _ port < <(sed -n 2p "$work/count")
        all=$((all + loader + port))
        cases=$((cases + 1))
        target=$(goal "$row" "$interface" "$group")
        counts=$(goal_counts "$row")
        crc=$(awk '$1 == "fpgabits_crc32" { print $2 }' "$work/count")
        if [[ $row == fpgabits_image && $target != - ]]; then
          target=$(awk -v goal="$target" -v crc="${crc:-0}" -v bytes="$bytes" 'BEGIN { printf "%.1f", goal + crc / bytes }')
        fi
        awk -v row="$row" -v bitstream="$label" -v interface="$interface" -v opt="-$opt" -v bytes="$bytes" \
          -v loader="$loader" -v port="$port" -v goal="$target" -v counts="$counts" -v s="$seconds" 'BEGIN {
            l = loader / bytes; p = port / bytes; t = l + p
            v = counts == "loader" ? l : t
            g = goal == "-" ? "-" : sprintf("<= %s %s", goal, counts == "loader" ? "L" : "T")
            r = goal == "-" ? "-" : sprintf("%.2f", v / goal)
            printf "%-22s %-20s %-9s %-3s %8.2f %6.2f %8.2f %10s %6s %5d\n",
              row, bitstream, interface, opt, l, p, t, g, r, s }'
        if [[ $row == fpgabits_image ]]; then
          awk -v crc="${crc:-0}" -v bytes="$bytes" 'BEGIN { printf "%-22s of which the CRC-32 of the gzip file: %.2f\n", "", crc / bytes }'
        fi
        if [[ -n $profile ]]; then
          sed -n '3,$p' "$work/count"
        fi
      done
    done
  done
done
((cases > 0)) || {
  echo "no case picked" >&2
  exit 2
}
awk -v n="$all" -v a="$started" -v b="$EPOCHREALTIME" \
  'BEGIN { printf "\n%.1f million instructions counted in %.0f s\n", n / 1e6, b - a }'
echo "L: the goal is for the loader count, T: for the total; *: generated (no bitstream in $folder)"
