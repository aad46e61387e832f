#!/usr/bin/env bash
# Completes typed command lines with the installed completion scripts and checks the candidates.
#   check_completion.sh COMPLETIONS_DIR
source /usr/share/bash-completion/bash_completion
source "$1/veldc"
source "$1/veldc-sim"
failures=0
while IFS='|' read -r line expected; do
  read -ra COMP_WORDS <<<"$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_LINE=$line COMP_POINT=${#line} COMPREPLY=()
  "$(complete -p "${COMP_WORDS[0]}" | sed 's/.*-F \([^ ]*\) .*/\1/')"
  [[ "${COMPREPLY[*]}" == "$expected" ]] && echo "ok: '$line' -> $expected" ||
    { echo "FAIL: '$line' -> '${COMPREPLY[*]}', expected '$expected'"; failures=$((failures + 1)); }
done <<'LINES'
veldc sy|sync-clock
veldc --link pelo:1.2.3.4:5 dr|drive
veldc --tr|--trace --trace-file
veldc --model S|Sorvik
veldc --link ne|network:
veldc fleet |run records status --help
veldc-sim --dial-result b|busy
LINES
exit $((failures > 0))
