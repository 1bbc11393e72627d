#!/usr/bin/env bash
# Usage: skipped.sh LOG...: prints each case that the bats logs skipped, and
# why, or that none was. Fails where DRAVLET_REQUIRE_MOUNTS is set (CI) and a
# case was skipped for want of a package, which the build's test
# dependencies should have installed.
status=0 skipped=0
for log in "$@"; do
  while IFS= read -r line; do
    name=$(basename "$log" .log)
    echo "skipped in ${name#e2e-}.bats: ${line#ok * }"
    skipped=$((skipped + 1))
    if [[ $line == *"apt-get build-dep"* ]] && [ -n "${DRAVLET_REQUIRE_MOUNTS:-}" ]; then status=1; fi
  done < <(grep -E '^ok [0-9]+ .* # skip' "$log")
done
[ "$skipped" -gt 0 ] || echo "skipped: none"
[ "$status" -eq 0 ] || echo "a case was skipped for want of a package that apt-get build-dep ./ installs" >&2
exit "$status"
