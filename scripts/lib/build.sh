# Configure and build helpers (sourced) for scripts/test, scripts/demo, scripts/bench and
# scripts/fuzz: the one place that knows how each kind of build tree is configured.
# Build trees live under build/ of the directory the caller runs in (the project root).

build_project_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

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
    cmake -S "$build_project_root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  fi
}

# build_configure_kind KIND DIR: configures DIR (once) as a tree of one kind:
#   x86_64  the product and its tests for Wine, with the crash runs' kill points
#   i686    the 32-bit product as it ships (Release) and its tests, for 32-bit Wine
#   x86_64-release  the 64-bit product only (scripts/package)
#   native  the portable code with clang, ASan and UBSan
#   fuzz    as native, plus the libFuzzer targets
build_configure_kind() {
  local kind=$1 dir=$2
  case $kind in
    # Test trees carry the kill points of the crash-consistency runs; the product does not.
    x86_64) build_configure "$dir" -DCMAKE_TOOLCHAIN_FILE="$build_project_root/cmake/x86_64-w64-mingw32.cmake" \
              -DCORVANE_CRASH_POINTS=ON ;;
    # The 64-bit product without the test trees' kill points, for scripts/package.
    x86_64-release) build_configure "$dir" -DCMAKE_TOOLCHAIN_FILE="$build_project_root/cmake/x86_64-w64-mingw32.cmake" \
              -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release ;;
    # The product's own build type and no kill points: the DLL the 32-bit tests load is the
    # one that ships.
    i686) build_configure "$dir" -DCMAKE_TOOLCHAIN_FILE="$build_project_root/cmake/i686-w64-mingw32.cmake" \
            -DBUILD_TESTING=ON -DCMAKE_BUILD_TYPE=Release ;;
    native) build_configure "$dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang ;;
    fuzz) build_configure "$dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DCORVANE_FUZZ=ON ;;
    *) echo "unknown build kind $kind" >&2; return 2 ;;
  esac
}

# build_targets DIR [TARGET...]: builds the named targets of DIR (all without one).
build_targets() {
  local dir=$1; shift
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  cmake --build "$dir" "${targets[@]}" -j"$(nproc)" -- --no-print-directory >/dev/null
}

build_all() {
  build_configure_kind x86_64 build/x86_64
  build_configure_kind i686 build/i686
  build_configure_kind native build/native
  for dir in build/x86_64 build/i686 build/native; do
    echo "== building $dir"
    build_targets "$dir"
  done
}
