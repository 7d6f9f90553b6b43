#!/bin/sh
# Installs the build under a scratch prefix, then builds the consumer example from outside the
# tree twice: with find_package(ostrel) (shared and static) and with pkg-config, and runs them.
# Usage: check_install.sh CMAKE BUILD_DIR SCRATCH_DIR
set -eu
cmake=$1 build=$2 scratch=$3
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$scratch" && mkdir -p "$scratch"
"$cmake" --install "$build" --prefix "$scratch/prefix" >/dev/null
"$cmake" -S "$here/find_package" -B "$scratch/user" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
"$cmake" --build "$scratch/user" >/dev/null
for program in consumer_shared consumer_static; do
  # Run with a missing model: proves it links, loads and reports through the library.
  if "$scratch/user/$program" ring "$scratch/missing.dem" 2 3 2>"$scratch/err"; then exit 1; fi
  grep -q "cannot read" "$scratch/err"
done
if command -v pkg-config >/dev/null 2>&1; then
  export PKG_CONFIG_PATH="$(dirname "$(find "$scratch/prefix" -name ostrel.pc)")"
  cc -std=c99 $(pkg-config --cflags ostrel) "$here/consumer.c" -o "$scratch/consumer_pc" \
    $(pkg-config --libs ostrel) -Wl,-rpath,"$(pkg-config --variable=libdir ostrel)"
  "$scratch/consumer_pc" ring "$scratch/missing.dem" 2 3 2>/dev/null && exit 1
fi
echo "installed ostrel found by find_package and pkg-config"
