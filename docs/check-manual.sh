#!/usr/bin/env bash
# Checks the manual page as man shows it at 80 columns: no groff warnings, no
# word split across lines, the tabs of the examples kept, and the example
# declarations exactly what fpgabits writes for the header they describe:
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

warnings=$(man --warnings -l "$manual" 2>&1 >/dev/null)
[[ -z $warnings ]] || fail "groff warns: $warnings"
page=$(MANWIDTH=80 man -l "$manual" 2>/dev/null | col -bx)

if grep -nE '[[:alnum:]][-‐]$' <<<"$page"; then
  fail "words are split across lines"
fi

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
echo "ok: the manual page renders right"
