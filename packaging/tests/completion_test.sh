#!/usr/bin/env bash
# What the bash completion offers at each point of a tarn command line.
# Usage: completion_test.sh COMPLETION_FILE TARN
set -uo pipefail
# shellcheck disable=SC1090
source "$1"
tarn=$2
failed=0
# Each case: the words typed, "_" standing for the empty word being completed | "is" (exactly
# these, in this order) or "has" (at least these: other helpers' commands may join) | the words.
while IFS='|' read -r typed mode expected; do
  [ -n "$typed" ] || continue
  read -ra COMP_WORDS <<<"$typed"
  COMP_WORDS[0]=$tarn
  [ "${COMP_WORDS[-1]}" = _ ] && COMP_WORDS[-1]=""
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _tarn
  got="${COMPREPLY[*]}"
  ok=0
  if [ "$mode" = is ]; then
    [ "$got" = "$expected" ] && ok=1
  else
    ok=1
    for word in $expected; do
      [[ " $got " == *" $word "* ]] || ok=0
    done
  fi
  if ((ok)); then
    echo "ok: '$typed' -> $got"
  else
    echo "FAIL: '$typed' offers '$got', expected ($mode) '$expected'"
    failed=1
  fi
done <<'CASES'
tarn _|has|status joblog users proxy digest utf8-count card
tarn us|is|users
tarn users _|is|get set
tarn --direct proxy s|is|set
tarn joblog --|is|--help --user --password --no-login
tarn users get -|is|-h --help -u --user -p --password
tarn joblog host file --user admin --n|is|--no-login
tarn users get host _|is|
tarn -|has|-h --help --direct
tarn nosuch _|has|status joblog users proxy digest utf8-count card
CASES
[[ $(complete -p tarn) == *"-F _tarn"* ]] || { echo "FAIL: not registered for tarn"; failed=1; }
exit $failed
