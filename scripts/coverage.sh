#!/usr/bin/env bash
# Builds the tests with gcc's coverage counters, runs them all (unit tests
# and the end-to-end suite on the instrumented binary) and reports the line
# and branch coverage of src/. Ends with the line
#   coverage: lines NN.N% branches NN.N% (core branches NN.N%)
# and fails when the core's branches (all but the runtime units) fall below
# 98%, or src/ below 98% of lines or 95% of branches.
# The HTML report lands in build/coverage/html/.
set -euo pipefail
cd "$(dirname "$0")/.."

# A fresh tree, so that no counters of an earlier layout linger.
rm -rf build/coverage
cmake -S . -B build/coverage -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=g++ -DCMAKE_CXX_FLAGS=--coverage \
  -DDRAVLET_TESTS=ON >/dev/null
cmake --build build/coverage
# A fixed seed, so that the random stacks and layouts reach the same code.
# The counters are written by every run of the tool: as another user too
# (files that anyone may write), and in the container that stacks.py makes
# (the build folder bound into it).
(umask 000 && DRAVLET_SEED=1 DRAVLET_COVERAGE_FOLDER=$PWD/build/coverage ctest --test-dir build/coverage --output-on-failure)

mkdir -p build/coverage/html
gcovr --root . --filter 'src/' --object-directory build/coverage \
  --exclude-throw-branches --exclude-unreachable-branches \
  --html-details build/coverage/html/index.html --json-summary build/coverage/summary.json --txt
python3 - <<'PY'
import json, os
summary = json.load(open("build/coverage/summary.json"))
# The core decides: what no test reaches there is listed in CONTRIBUTING.md.
# The runtime units answer for the kernel, whose answers the suite provokes
# on real devices, mounts and FUSE programs, in four views, and on the
# captured systems; without /dev/fuse a part of them is skipped, and src/ is
# not held to its floor.
core = [f for f in summary["files"] if "runtime" not in f["filename"]]
covered, total = sum(f["branch_covered"] for f in core), sum(f["branch_total"] for f in core)
lines, branches = summary["line_percent"], summary["branch_percent"]
print(f"coverage: lines {lines:.1f}% branches {branches:.1f}% (core branches {100 * covered / total:.1f}%)")
if covered < 0.98 * total:
    raise SystemExit("coverage: the core's branches below 98%")
if not os.path.exists("/dev/fuse"):
    print("coverage: src/ not held to 98% of lines and 95% of branches: no /dev/fuse here")
elif lines < 98 or branches < 95:
    raise SystemExit("coverage: src/ below 98% of lines or 95% of branches")
PY
