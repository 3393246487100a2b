#!/usr/bin/env bash
# The installed manual pages: render without warnings, name every message the program shows,
# and every option rt88h-devsim takes.
. "$(dirname "$0")/common.sh"

need_tool man man-db
need_tool groff groff-base
need_package
export LC_ALL=C.UTF-8 MANWIDTH=1000 MAN_KEEP_FORMATTING=
unset MANPAGER PAGER

# groff's warnings (bad requests, unknown escapes, lines that do not fit) fail the page.
check_renders() {
  local page=$1 warnings
  warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null) || fail "man cannot render $page"
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
}
# Plain text on one line, so that line breaks do not hide a phrase.
render() {
  man -E UTF-8 -l "$1" 2>/dev/null | col -bx | tr -s ' \n\t' '   '
}

man1="$ROOT/usr/share/man/man1"
check_renders "$man1/rt88h-updater.1.gz"
check_renders "$man1/rt88h-devsim.1.gz"
updater=$(render "$man1/rt88h-updater.1.gz")
messages=(
  "Time out error(1)"
  "Time out error(2)"
  "Time out error(3)"
  "Illegal device connected."
  "Please set the Version-up mode."
  "Transfer error occurred."
  "In Progress."
  "Can't open MIDI In device."
  "Can't open MIDI Out device."
  "MIDI OUTデバイスが開けません"
  "Midi Out Error"
  "The RT-88H was disconnected. Connect it again, press Rescan Device, then Execute."
  "It is forbidden to launch more than 20 instance of this application."
  "Version update completed."
)
for m in "${messages[@]}"; do
  grep -qF -- "$m" <<<"$updater" || fail "rt88h-updater(1) does not explain \"$m\""
done
for section in NAME SYNOPSIS DESCRIPTION DIAGNOSTICS FILES "SEE ALSO"; do
  grep -qF -- "$section" <<<"$updater" || fail "rt88h-updater(1) has no $section section"
done

devsim_page=$(render "$man1/rt88h-devsim.1.gz")
if [ "$EXPECT_DEVSIM" = 1 ]; then
  help=$("$ROOT/usr/bin/rt88h-devsim" --help) || fail "rt88h-devsim --help failed"
  options=$(grep -oE -- '--[a-z][a-z-]+' <<<"$help" | sort -u)
  [ -n "$options" ] || fail "rt88h-devsim --help lists no options"
  for o in $options; do
    grep -qF -- "$o" <<<"$devsim_page" || fail "rt88h-devsim(1) does not describe $o"
  done
  # --help itself is accepted but not listed by --help.
  while read -r o; do
    grep -qxF -- "$o" <<<"$options" || fail "rt88h-devsim(1) describes $o, which --help does not list"
  done < <(grep -oE -- '--[a-z][a-z-]+' <<<"$devsim_page" | sort -u | grep -vx -- --help)
fi
finish
