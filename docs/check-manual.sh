#!/usr/bin/env bash
# Checks the manual pages as man shows them at 80 columns: no groff warnings,
# no word split across lines; in fpgabits.1 the tabs of the examples kept, and
# the example declarations exactly what fpgabits writes for the header they
# describe; in fpgabits-load.1, where the program is built, every option of
# its usage and its default speed:
#   docs/check-manual.sh FPGABITS_BUILD_DIR
# Exits 77 (skipped) without man, unless FPGABITS_CI is set.
set -euo pipefail
build=$(realpath "$1")
source=$(cd "$(dirname "$0")" && pwd)/fpgabits.1
if ! command -v man >/dev/null; then
  echo "skipped: no man; install the Debian package man-db"
  [[ -z ${FPGABITS_CI:-} ]] && exit 77
  exit 1
fi
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
work=$(mktemp -d "${TMPDIR:-/tmp}/fpgabits-manual-XXXXXX")
trap 'rm -rf "$work"' EXIT
# As installed into /usr/local.
manual=$work/fpgabits.1
sed 's|@FPGABITS_PACKAGE_DIR@|/usr/local/share/cmake/fpgabits|; s|@FPGABITS_LOADER_DIR@|/usr/local/share/fpgabits/loader|' \
  "$source" >"$manual"

# render PAGE: the page as man shows it, into $page, with no warnings and
# no word split across lines.
render() {
  local warnings
  warnings=$(man --warnings -l "$1" 2>&1 >/dev/null)
  [[ -z $warnings ]] || fail "$(basename "$1"): groff warns: $warnings"
  page=$(MANWIDTH=80 man -l "$1" 2>/dev/null | col -bx)
  if grep -nE '[[:alnum:]][-‐]$' <<<"$page"; then
    fail "$(basename "$1"): words are split across lines"
  fi
}
render "$manual"

# The column where the first line matching a pattern begins.
column() { grep -m1 -E "$1" <<<"$page" | sed -E 's/^( *).*/\1/' | wc -c; }
(($(column '^ +0xff,0xff') == $(column '^ +\{$') + 8)) || fail "the data lines lost their tab"
(($(column '^ +\$\(CC\)') == $(column '^ +fpga\.o:') + 8)) || fail "the Makefile recipe lost its tab"

"$build/mkbitstream" --name 'top;UserID=0XFFFFFFFF;Version=2016.3' --device 7a35tcsg324 \
  --date 2026/12/08 --time 09:30:00 --size 16 "$work/design.bit"
(cd "$work" && "$build/fpgabits" design.bit >/dev/null)
while read -r declaration; do
  grep -qxE " +$(sed 's/[][\.*^$/]/\\&/g' <<<"$declaration")" <<<"$page" ||
    fail "the example lacks the declaration fpgabits writes: $declaration"
done < <(grep '^char FPGA' "$work/fpgabits.i")

load=$build/load/fpgabits-load
if [[ -x $load ]]; then
  render "$(dirname "$source")/../load/fpgabits-load.1"
  for option in $("$load" --help | grep -oE -- '--[a-z]+(-[a-z]+)*' | sort -u); do
    grep -qE -- "^ +$option( |$)" <<<"$page" || fail "fpgabits-load.1 does not describe $option"
  done
  speed=$("$load" --help | sed -nE 's/.*\(default ([0-9]+)\)$/\1/p')
  grep -qE "by +default +$speed( |$)" <<<"$page" || fail "fpgabits-load.1 does not give the default speed $speed"
fi
echo "ok: the manual pages render right"
