#!/usr/bin/env bash
# Static checks: clang-format (the code is formatted), clang-tidy (both
# runtime units included) and cppcheck. Exits non-zero on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."

sources=(src/*.cpp src/*.h tests/*.cpp tests/*.h tests/fuzz/*.cpp)
clang-format --dry-run -Werror "${sources[@]}"

# The POSIX units, with the flags of the test build.
cmake --preset test >/dev/null
clang-tidy --quiet -p build/test src/driver.cpp src/options.cpp src/copy.cpp src/main.cpp src/runtime-posix.cpp

# The Windows unit, with MinGW-w64's headers, where the cross compiler is here.
mingw=/usr/lib/gcc/x86_64-w64-mingw32/12-posix/include/c++
if [ -d "$mingw" ]; then
  cmake --preset windows -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
  clang-tidy --quiet -p build/windows --extra-arg=--target=x86_64-w64-mingw32 --extra-arg="-isystem$mingw" \
    --extra-arg="-isystem$mingw/x86_64-w64-mingw32" src/runtime-win32.cpp
fi

# Test tables confuse cppcheck's view of struct members and loops; the rest
# of its style, warning, performance and portability checks apply.
cppcheck --enable=warning,style,performance,portability --std=c++17 --error-exitcode=1 --inline-suppr --quiet \
  --library=googletest --suppress=useStlAlgorithm --suppress=unusedStructMember --suppress=missingIncludeSystem \
  -I src src tests
echo "lint: clean"
