#!/usr/bin/env bash
# Static checks: clang-format (the code is formatted), clang-tidy (both
# runtime units included), cppcheck, shellcheck over the suite's and the
# scripts' bash, flake8 over the suite's Python. Exits non-zero on any
# finding, and when a check cannot run.
set -euo pipefail
cd "$(dirname "$0")/.."

sources=(src/*.cpp src/*.h tests/*.cpp tests/*.h tests/fuzz/*.cpp)
clang-format --dry-run -Werror "${sources[@]}"

# units BUILD: the tool's units that BUILD compiles, from its compilation
# database, so that CMake alone lists them.
units() {
  python3 -c 'import json, sys
print("\n".join(sorted({e["file"] for e in json.load(open(sys.argv[1])) if "/src/" in e["file"]})))' \
    "$1/compile_commands.json"
}

# The POSIX units, with the flags of the test build.
cmake --preset test >/dev/null
mapfile -t posix_units < <(units build/test)
clang-tidy --quiet -p build/test "${posix_units[@]}"

# The Windows units, with the C++ library headers that MinGW-w64's compiler
# searches (clang finds the rest of its target's headers, and cannot read
# gcc's own intrinsics).
mingw=x86_64-w64-mingw32-g++-posix
command -v "$mingw" >/dev/null || { echo "lint: $mingw is missing (apt-get build-dep -P pkg.dravlet.windows ./ installs it)" >&2; exit 1; }
mapfile -t includes < <("$mingw" -xc++ -E -v /dev/null 2>&1 >/dev/null |
  sed -n '/^#include <...> search starts here:/,/^End of search list/{/\/c++/s/^ //p}')
[ ${#includes[@]} -gt 0 ] || { echo "lint: cannot tell $mingw's include directories" >&2; exit 1; }
cmake --preset windows -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
mapfile -t windows_units < <(comm -13 <(units build/test) <(units build/windows))
clang-tidy --quiet -p build/windows --extra-arg=--target=x86_64-w64-mingw32 \
  "${includes[@]/#/--extra-arg=-isystem}" "${windows_units[@]}"

# Test tables confuse cppcheck's view of struct members and loops; the rest
# of its style, warning, performance and portability checks apply.
cppcheck --enable=warning,style,performance,portability --std=c++20 --error-exitcode=1 --inline-suppr --quiet \
  --library=googletest --suppress=useStlAlgorithm --suppress=unusedStructMember --suppress=missingIncludeSystem \
  -I src src tests
# The suite's bash and the scripts' (.shellcheckrc says what bats makes
# look wrong), and its Python.
shellcheck -x tests/e2e/*.bats tests/e2e/*.bash tests/e2e/*.sh scripts/*.sh bench/*.sh .ci/run
flake8 --max-line-length 120 tests/e2e/*.py
echo "lint: clean"
