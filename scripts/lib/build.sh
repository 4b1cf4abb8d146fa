# Configure and build helpers (sourced). Build trees live under build/.

build_configure() {
  local dir=$1; shift
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
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
