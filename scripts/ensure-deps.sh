#!/usr/bin/env bash
# Makes sure the Debian packages the build and the tests need are installed.
# Silent and quick when they all are; as root it installs the missing ones,
# otherwise it prints the apt-get line to run and fails.
# KORVEX_SKIP_DEPS=1 skips the check (a machine set up some other way).
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  googletest libgtest-dev libbenchmark-dev
  libpng-dev zlib1g-dev libz-mingw-w64-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine64 socat
  clang libclang-rt-14-dev
  zip python3
)

if [[ "${KORVEX_SKIP_DEPS:-0}" == 1 ]]; then
  exit 0
fi

if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "ensure-deps: dpkg-query not found: this is not a Debian system." >&2
  echo "ensure-deps: install the equivalents of: ${packages[*]}" >&2
  echo "ensure-deps: then run with KORVEX_SKIP_DEPS=1." >&2
  exit 1
fi

# The packages not installed (dpkg's "ii" state; unknown ones are missing).
missing_packages() {
  local -A installed=()
  local name state
  while read -r name state; do
    if [[ "$state" == ii ]]; then
      installed[$name]=1
    fi
  done < <(dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' "${packages[@]}" 2>/dev/null || true)
  local p
  for p in "${packages[@]}"; do
    if [[ -z "${installed[$p]:-}" ]]; then
      printf '%s\n' "$p"
    fi
  done
}

mapfile -t missing < <(missing_packages)
if [[ ${#missing[@]} -eq 0 ]]; then
  exit 0
fi

echo "ensure-deps: missing Debian packages: ${missing[*]}"
if [[ $(id -u) -ne 0 ]]; then
  echo "ensure-deps: not root, so nothing was installed. Run:"
  echo "sudo apt-get update"
  echo "sudo apt-get install -y ${missing[*]}"
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
echo "ensure-deps: apt-get update"
apt-get update
# Recommends are not needed: Wine, for one, runs our tests without them.
echo "ensure-deps: apt-get install -y --no-install-recommends ${missing[*]}"
apt-get install -y --no-install-recommends "${missing[@]}"

mapfile -t still < <(missing_packages)
if [[ ${#still[@]} -ne 0 ]]; then
  echo "ensure-deps: still missing after apt-get install: ${still[*]}" >&2
  exit 1
fi
echo "ensure-deps: all packages installed"
