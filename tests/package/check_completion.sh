#!/usr/bin/env bash
# Completes typed command lines with the installed completion scripts and checks the candidates.
#   check_completion.sh COMPLETIONS_DIR
source /usr/share/bash-completion/bash_completion
source "$1/veldc"
source "$1/veldc-sim"

failures=0
# A line as typed (the cursor at its end) and the candidates expected, in order.
check() {
  local line=$1 expected=$2
  read -ra COMP_WORDS <<<"$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMPREPLY=()
  "$(complete -p "${COMP_WORDS[0]}" | sed 's/.*-F \([^ ]*\) .*/\1/')"
  local got="${COMPREPLY[*]}"
  if [[ $got == "$expected" ]]; then
    echo "ok: '$line' -> $got"
  else
    echo "FAIL: '$line' -> '$got', expected '$expected'"
    failures=$((failures + 1))
  fi
}

check "veldc sy" "sync-clock"
check "veldc --link pelo:1.2.3.4:5 dr" "drive"
check "veldc --tr" "--trace --trace-file"
check "veldc --model S" "Sorvik"
check "veldc --link ne" "network:"
check "veldc -f 7" "7O1 7E1"
check "veldc params " "get set"
check "veldc drive " "A B C"
check "veldc listen --s" "--seconds"
check "veldc po" "post ports"
check "veldc --st" "--stream"
check "veldc fleet " "run records status --help"
check "veldc fleet records sites.toml --format " "csv json"
check "veldc-sim --pelo-f" "--pelo-form"
check "veldc-sim --dial-result b" "busy"
check "veldc-sim --network-failure " "none send receive"
check "veldc-sim --pelo-dr" "--pelo-drop-chance"
exit $((failures > 0))
