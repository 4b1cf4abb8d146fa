# Configure and build helpers (sourced). Build trees live under build/.

# build_configure DIR [cmake arguments...]: configures DIR once, and again when a -D setting
# it is given differs from the tree's cache (a tree configured before the setting existed).
# The scripted trees trust the repository's test key, which a build other than Debug
# accepts only when told so.
build_configure() {
  local dir=$1; shift
  set -- "$@" -DALLOW_TEST_KEY=ON
  local setting missing=0
  for setting in "$@"; do
    case $setting in
      -D*=*)
        local name=${setting%%=*} value=${setting#*=}
        [ "$(grep -m1 "^${name#-D}:" "$dir/CMakeCache.txt" 2>/dev/null | cut -d= -f2-)" = "$value" ] || missing=1 ;;
    esac
  done
  if [ ! -f "$dir/CMakeCache.txt" ] || [ "$missing" = 1 ]; then
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  fi
}

build_all() {
  local jobs
  jobs=$(nproc)
  # Test trees carry the kill points of the crash-consistency runs; the product does not.
  build_configure build/x86_64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/x86_64-w64-mingw32.cmake" -DCORVANE_CRASH_POINTS=ON
  build_configure build/i686 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i686-w64-mingw32.cmake" -DBUILD_TESTING=OFF \
    -DCMAKE_BUILD_TYPE=Release
  build_configure build/native -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang
  for dir in build/x86_64 build/i686 build/native; do
    echo "== building $dir"
    cmake --build "$dir" -j"$jobs" -- --no-print-directory >/dev/null
  done
}
