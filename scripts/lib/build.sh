# Configure and build helpers (sourced). Build trees live under build/.

# build_configure DIR [cmake arguments...]: configures DIR once. The scripted trees trust
# the repository's test key, which a build other than Debug accepts only when told so;
# a tree configured before that rule existed (or stopped by it) is told on its next run.
build_configure() {
  local dir=$1; shift
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DALLOW_TEST_KEY=ON "$@" >/dev/null
  elif ! grep -q '^ALLOW_TEST_KEY:BOOL=ON$' "$dir/CMakeCache.txt"; then
    cmake -S "$root" -B "$dir" -DALLOW_TEST_KEY=ON >/dev/null
  fi
}

build_all() {
  local jobs
  jobs=$(nproc)
  build_configure build/x86_64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/x86_64-w64-mingw32.cmake"
  build_configure build/i686 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i686-w64-mingw32.cmake" -DBUILD_TESTING=OFF \
    -DCMAKE_BUILD_TYPE=Release
  build_configure build/native -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang
  for dir in build/x86_64 build/i686 build/native; do
    echo "== building $dir"
    cmake --build "$dir" -j"$jobs" -- --no-print-directory >/dev/null
  done
}
