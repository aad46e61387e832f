#!/usr/bin/env bash
# Every option and command --help lists is in the tool's manual page, and every top-level one
# in its completion script.   check_options.sh VELDC VELDC_SIM MAN_SOURCE_DIR COMPLETION_DIR
veldc=$1 sim=$2 man=$3 completion=$4 missing=0
# The options a --help text defines (not those its prose mentions), and its subcommands.
options() { "$@" --help | grep -oE '^ +(-[a-zA-Z],)?--[a-z][a-z0-9-]*' | grep -oE -- '--[a-z0-9-]+'; }
commands() { "$@" --help | sed -n '/^Subcommands:/,/^$/p' | grep -oE '^  [a-z][a-z-]*'; }
need() { # need FILE WHAT WORD...
  local file=$1 what=$2 word
  shift 2
  for word in "$@"; do
    grep -qF -- "$word" "$file" || { echo "$(basename "$file"): $what $word missing"; missing=1; }
  done
}
cmds=$(commands "$veldc")
for file in "$man/veldc.1.md" "$completion/veldc"; do
  need "$file" option $(options "$veldc")
  need "$file" command $cmds
done
for cmd in $cmds; do
  for sub in "" $(commands "$veldc" "$cmd"); do
    need "$man/veldc.1.md" "option of $cmd $sub" $(options "$veldc" $cmd $sub | grep -vx -- --help)
  done
done
need "$man/veldc-sim.1.md" option $(options "$sim")
need "$completion/veldc-sim" option $(options "$sim")
exit $missing
