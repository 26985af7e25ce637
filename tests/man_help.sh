#!/usr/bin/env bash
# kalimor --help and the man page name the same options, and the page
# renders without a warning.
set -u
kalimor=$1 page=$2
fail() { echo "FAIL: $*"; exit 1; }
warnings=$(man --warnings -l "$page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man --warnings: $warnings"
options() { grep -E '^ {2,7}-' | grep -oE '(^|[ ,])--?[a-z][a-z-]*' | tr -d ' ,' | sort -u; }
from_help=$("$kalimor" --help | options)
from_man=$(MANWIDTH=200 man -l "$page" 2>/dev/null | col -b |
  sed -n '/^OPTIONS/,/^[A-Z]/p' | options)
[ -n "$from_help" ] || fail "no options in --help"
[ "$from_help" = "$from_man" ] ||
  fail "options differ (< --help, > man page): $(diff <(echo "$from_help") <(echo "$from_man") | grep '^[<>]' | tr '\n' ' ')"
echo "1 passed, 0 failed"
