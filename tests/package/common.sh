# shellcheck shell=bash
# Shared by the package tests: sourced with the generated environment file as $1.
set -euo pipefail
# shellcheck source=/dev/null
. "$1"
shift

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
note() { echo "$*"; }
# Exit code 77 is registered as SKIP_RETURN_CODE.
skip() {
  echo "SKIP: $*"
  exit 77
}
need_tool() {
  command -v "$1" >/dev/null 2>&1 || skip "$1 is not installed (Debian package $2; scripts/bootstrap installs it)"
}
need_package() {
  if [ ! -s "$WORK/deb-path" ] || [ ! -d "$ROOT" ]; then
    echo "FAIL: no package: package.build did not run or failed" >&2
    exit 1
  fi
  # shellcheck disable=SC2034  # used by the scripts that source this file
  DEB=$(cat "$WORK/deb-path")
}
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  echo "all checks passed"
}
