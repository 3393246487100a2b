#!/usr/bin/env bash
# The installed manual pages: render without warnings, name every message the program shows,
# and every option each program takes, of this version.
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
check_renders "$man1/rt88h-update.1.gz"
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

# Each program's --help (no display needed) and its page: every option the one lists, the other
# describes, and the other way round; both give this version.
check_options() {
  local program=$1 page help options o
  page=$(render "$man1/$program.1.gz")
  grep -qF -- "rt88h-updater $VERSION" <<<"$page" || fail "$program(1) is not of rt88h-updater $VERSION"
  help=$("$ROOT/usr/bin/$program" --help) || fail "$program --help failed"
  options=$(grep -oE -- '--[a-z][a-z-]+' <<<"$help" | sort -u)
  grep -qx -- --version <<<"$options" || fail "$program --help does not list --version"
  for o in $options; do
    grep -qF -- "$o" <<<"$page" || fail "$program(1) does not describe $o"
  done
  while read -r o; do
    grep -qxF -- "$o" <<<"$options" || fail "$program(1) describes $o, which --help does not list"
  done < <(grep -oE -- '--[a-z][a-z-]+' <<<"$page" | sort -u)
  [ "$("$ROOT/usr/bin/$program" --version | head -n1)" = "$program $VERSION" ] ||
    fail "$program --version does not begin with '$program $VERSION'"
}
check_options rt88h-updater
check_options rt88h-update
[ "$EXPECT_DEVSIM" = 1 ] && check_options rt88h-devsim
finish
