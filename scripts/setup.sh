# Shared by the scripts: the Debian packages the build and the tests need,
# installed when missing (as root) or named with the exact command to run.
# Sourced, not run.

# What building and running the executable under Wine needs; the tests add
# clang 16 and its runtime for the fuzz targets.
OBREX_PACKAGES=(
  cmake ninja-build g++ libssl-dev googletest libgtest-dev
  g++-mingw-w64-x86-64-posix wine wine64 zip
)
OBREX_TEST_PACKAGES=(clang-16 libclang-rt-16-dev)

# The missing ones of the packages named.
obrex_missing_packages() {
  local package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q ' installed$'; then
      echo "$package"
    fi
  done
}

# Installs what is missing of OBREX_PACKAGES and of the packages named.
obrex_ensure_packages() {
  local missing
  missing=$(obrex_missing_packages "${OBREX_PACKAGES[@]}" "$@" | tr '\n' ' ')
  missing=${missing% }
  if [ -z "$missing" ]; then
    return 0
  fi
  local command="apt-get update && apt-get install -y $missing"
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: $missing" >&2
    echo "Install them as root with:" >&2
    echo "  $command" >&2
    exit 1
  fi
  echo "Installing: $missing" >&2
  export DEBIAN_FRONTEND=noninteractive
  # shellcheck disable=SC2086 # one word per package
  apt-get update && apt-get install -y $missing
}

# Configures (when needed) and builds one preset.
obrex_build() {
  local preset=$1
  if [ ! -f "build/$preset/CMakeCache.txt" ]; then
    cmake --preset "$preset"
  fi
  cmake --build --preset "$preset" -j "$(nproc)"
}
