#!/usr/bin/env bash
# Starts Wine once, making its prefix where this is its first start: Wine's
# programs started side by side would otherwise all try that at once.
# Exits non-zero where Wine does not start.
export WINEDEBUG=-all
wineboot --init >/dev/null 2>&1 && wine cmd /c exit >/dev/null 2>&1
