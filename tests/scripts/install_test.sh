#!/usr/bin/env bash
# `cmake --install` of a build tree lays out the device's programs and nothing else: exactly
# PREFIX/bin/<program> for every program the tree lists, each of the kind wanted (as `file`
# describes it). The programs are only looked at, never run.
#
#   install_test.sh TREE PROGRAM_LIST WORK_DIR [WORD...]
#     PROGRAM_LIST  the tree's programs.txt, one name a line
#     WORD          each must appear in `file`'s description of every program installed
#                   (e.g. "ARM" "statically linked")
set -uo pipefail
tree="$1"
list="$2"
work="$3"
shift 3
failed=0

fail() {
  echo "FAILED: $*"
  failed=$((failed + 1))
}

rm -rf "$work"
if ! cmake --install "$tree" --prefix "$work/root" > "$work.log" 2>&1; then
  cat "$work.log"
  fail "cmake --install $tree"
fi

wanted="$(sed '/^$/d' "$list" 2>/dev/null | sed 's|^|bin/|' | sort)"
[[ -n "$wanted" ]] || fail "no programs listed in $list"
found="$(cd "$work/root" 2>/dev/null && find . ! -type d | sed 's|^\./||' | sort)"
if [[ "$found" != "$wanted" ]]; then
  fail "installed files differ from the programs"
  diff <(echo "$wanted") <(echo "$found") | sed 's/^/    /'
fi

for file in $found; do
  what="$(file -b "$work/root/$file")"
  for word in "$@"; do
    [[ "$what" == *"$word"* ]] || fail "$file is not \"$word\": $what"
  done
done

rm -rf "$work" "$work.log"
echo "$(echo "$found" | wc -w) programs installed, $failed failed"
((failed == 0))
