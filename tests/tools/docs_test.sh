#!/bin/bash
# The generated manual page and bash completion of the launcher, as a reader
# and as bash on Tab see them.
# Usage: docs_test.sh DOC_DIR LAUNCH README.md
set -u
export LC_ALL=C
doc=$1 program=$2 readme=$3
page=$doc/quillpost.1.gz
fail=0
bad() {
  echo "FAIL: $*"
  fail=1
}

# --- the manual page ------------------------------------------------------------------
# gzip -n: no file name and no time stamp in the header (reproducible packages).
[ "$(od -An -tu1 -j3 -N1 "$page" | tr -d ' ')" = 0 ] || bad "gzip header names a file"
[ "$(od -An -tu4 -j4 -N4 "$page" | tr -d ' ')" = 0 ] || bad "gzip header has a time stamp"
warnings=$(zcat "$page" | groff -man -ww -z 2>&1)
[ -z "$warnings" ] || bad "groff: $warnings"
lexgrog "$page" | grep -q ': "quillpost - ' || bad "no whatis entry: $(lexgrog "$page")"
rendered=$(zcat "$page" | MANWIDTH=200 man -l - 2>/dev/null)
for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" SIGNALS ENVIRONMENT FILES "SEE ALSO"; do
  grep -q "^$section\$" <<<"$rendered" || bad "no section $section"
done
# The lists below come from the program and the README: an empty one would
# check nothing, so it fails.
help=$(env -i "$program" --help) || bad "$program --help fails"
options=$(sed -n '/^Options:/,$p' <<<"$help" | grep '^    -' | cut -c1-40 | grep -o -- '--[a-z][a-z-]*')
[ -n "$options" ] || bad "no option found on the help screen"
for option in $options; do
  grep -q -- "^ *\(-., \)\?$option" <<<"$rendered" || bad "option $option missing"
done
codes=$(sed -n '/^## Exit codes/,/^## /p' "$readme" | grep -o '^| [0-9]* |' | tr -d '| ')
[ -n "$codes" ] || bad "no exit code found in $readme"
for code in $codes; do
  grep -q "^ *$code " <<<"$rendered" || bad "exit code $code missing"
done

# --- the completion ----------------------------------------------------------------------
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. /usr/share/bash-completion/bash_completion
. "$doc/quillpost.bash"
compopt() { :; }  # only usable inside a real completion
cd "$work" && mkdir conf.d && touch client.conf
# check EXPECTED WORD...: COMP_WORDS as bash splits them ('=' a word of its
# own); the last word is the one being completed.
check() {
  local expected=$1 line="" w got
  shift
  for w in "$@"; do
    if [ -z "$line" ] || [ "$w" = "=" ] || [ "${line: -1}" = "=" ]; then line+=$w; else line+=" $w"; fi
  done
  COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMP_LINE=$line COMP_POINT=${#line} COMPREPLY=()
  _quillpost
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort | tr '\n' ' ')
  [ "$got" = "$expected" ] || bad "completion of '$line': got '$got', want '$expected'"
}
check "--settings-dir-create --settings-dir= " quillpost --settings-d
check "--web-interface-port= " quillpost --web-interface-p
check "pycurl requests " quillpost --http-library = ""
check "pycurl requests " quillpost --http-library ""
check "true " quillpost --send-crash-report = t
check "client.conf " quillpost --config-file = cl
check "conf.d " quillpost --settings-dir = ""
check "" quillpost --client-key ""
exit $fail
