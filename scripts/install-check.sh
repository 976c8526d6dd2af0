#!/usr/bin/env bash
# Installs a build into a scratch prefix and checks the result: the programs,
# the library, every public header compiling on its own, the pkg-config file,
# the CMake package and both man pages; then builds a tiny consumer through
# pkg-config and through find_package(Tarn) and runs it.
#   scripts/install-check.sh [BUILD_DIR]   (default build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(ls -d "$prefix"/lib*/ | head -1)
libdir=${libdir%/}

for f in bin/tarn bin/tarnplay share/man/man1/tarn.1 share/man/man1/tarnplay.1 include/tarn/movie/movie.h; do
  [ -e "$prefix/$f" ] || { echo "install-check: $f is missing"; exit 1; }
done
for f in libtarn.a libtarn.so.1 pkgconfig/tarn.pc pkgconfig/tarn-static.pc cmake/Tarn/TarnConfig.cmake \
         cmake/Tarn/TarnConfigVersion.cmake; do
  [ -e "$libdir/$f" ] || { echo "install-check: lib/$f is missing"; exit 1; }
done
version=$("$prefix/bin/tarn" --version)
[[ $version == "tarn "[0-9]* ]] || { echo "install-check: tarn --version says '$version'"; exit 1; }
help=$(TARN_NO_DIALOGS=1 SDL_VIDEODRIVER=dummy "$prefix/bin/tarnplay" 2>&1 || true)
grep -q "^TarnPlay  *V [0-9]" <<<"$help" || { echo "install-check: tarnplay help shows no version"; exit 1; }

# Every installed header compiles on its own.
(cd "$prefix/include/tarn" && find . -name '*.h' | sort) | while read -r h; do
  echo "#include \"$h\"" | c++ -std=c++20 -fsyntax-only -I"$prefix/include/tarn" -x c++ - ||
    { echo "install-check: $h does not compile on its own"; exit 1; }
done

mkdir -p "$work/consumer"
cat > "$work/consumer/main.cc" <<'CC'
#include <cstdio>
#include <cstring>
#include "common/last_error.h"
#include "movie/movie.h"
int main() {
  unsigned char junk[64];
  std::memset(junk, 0, sizeof junk);
  tarn::Movie* m = tarn::MovieOpenMemory(junk, sizeof junk, tarn::OPEN_NO_THREAD);
  std::printf("%s\n", m ? "opened" : tarn::MovieGetError());
  tarn::MovieClose(m);
  return m == nullptr && std::strcmp(tarn::MovieGetError(), "Not a Tarn file.") == 0 ? 0 : 1;
}
CC
cat > "$work/consumer/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.20)
project(consumer CXX)
set(CMAKE_CXX_STANDARD 20)
find_package(Tarn 1 REQUIRED)
add_executable(consumer main.cc)
target_link_libraries(consumer PRIVATE Tarn::tarncore)
CM
PKG_CONFIG_PATH=$libdir/pkgconfig c++ -std=c++20 "$work/consumer/main.cc" -o "$work/by_pkgconfig" \
  $(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs tarn-static)
"$work/by_pkgconfig" >/dev/null || { echo "install-check: the pkg-config consumer failed"; exit 1; }
cmake -S "$work/consumer" -B "$work/consumer/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer/build" >/dev/null
"$work/consumer/build/consumer" >/dev/null || { echo "install-check: the find_package consumer failed"; exit 1; }

# The C interface: the shared object exports the tarn_* calls only, and a C
# program builds against it through pkg-config and find_package(Tarn).
others=$(nm -D --defined-only "$libdir/libtarn.so.1" | awk '$3 != "" && $3 !~ /^tarn_/ && $3 != "TARN_1"')
[ -z "$others" ] || { echo "install-check: libtarn.so.1 exports more than the C interface:"; echo "$others"; exit 1; }
cat > "$work/consumer/main.c" <<'C'
#include <string.h>
#include <tarn/tarn.h>
int main(void) {
  static const unsigned char junk[64];
  tarn_movie* m = NULL;
  return tarn_open_memory(junk, sizeof junk, 0, &m) == TARN_ERROR_OPEN &&
         strcmp(tarn_last_error(NULL), "Not a Tarn file.") == 0 && tarn_close(m) == TARN_ERROR_HANDLE ? 0 : 1;
}
C
cat >> "$work/consumer/CMakeLists.txt" <<'CM'
enable_language(C)
add_executable(c_consumer main.c)
target_link_libraries(c_consumer PRIVATE Tarn::tarn)
CM
cc -std=c99 "$work/consumer/main.c" -o "$work/c_by_pkgconfig" \
  $(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs tarn) -Wl,-rpath,"$libdir"
"$work/c_by_pkgconfig" || { echo "install-check: the C pkg-config consumer failed"; exit 1; }
cmake -S "$work/consumer" -B "$work/consumer/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer/build" >/dev/null
"$work/consumer/build/c_consumer" || { echo "install-check: the C find_package consumer failed"; exit 1; }
echo "#include <tarn/tarn.h>" | cc -std=c99 -Wall -Wextra -Werror -pedantic -fsyntax-only -I"$prefix/include" -x c - ||
  { echo "install-check: tarn/tarn.h is not plain C99"; exit 1; }
if [ -e "$build/python/tarn/__init__.py" ]; then
  site=$(find "$prefix" -path '*-packages/tarn/__init__.py' | head -1)
  [ -n "$site" ] || { echo "install-check: the tarn Python package is not installed"; exit 1; }
  # The installed package imports from there and reports the library's text.
  PYTHONPATH=$(dirname "$(dirname "$site")") PYTHONDONTWRITEBYTECODE=1 "$(cat "$build/python/interpreter")" -c '
import tarn
try:
    tarn.open(b"x" * 64)
except tarn.Error as e:
    assert str(e) == "Not a Tarn file.", e
else:
    raise SystemExit("opened junk")' || { echo "install-check: the installed tarn package does not work"; exit 1; }
fi
echo "install-check: all in place; consumers built with pkg-config and find_package, C and C++"
