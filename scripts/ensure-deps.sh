#!/usr/bin/env bash
# Makes sure the Debian packages the build and the tests need are installed.
# Silent and quick when they all are; as root it installs the missing ones,
# otherwise it prints the apt-get line to run and fails.
# KORVEX_SKIP_DEPS=1 skips the check (a machine set up some other way).
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config
  googletest libgtest-dev libbenchmark-dev
  libpng-dev zlib1g-dev libz-mingw-w64-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine64 socat
  clang libclang-rt-14-dev
  zip python3
  # localedef and the locale sources, for a test in code page 932.
  locales
  # The 32-bit Wine that runs the deliverable, the i686 Korvex.dll, in the
  # i686 suites: Debian's i386 user space.
  wine32:i386
  # A virtual X display and its screenshots, for the test of korvex-board's
  # window under Wine; xdotool types into the settings window in its test.
  xvfb x11-apps xdotool
  # makensis, for the installer of make dist.
  nsis
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
  local p
  for p in "${packages[@]}"; do
    if [[ $(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null) != ii* ]]; then
      printf '%s\n' "$p"
    fi
  done
}

mapfile -t missing < <(missing_packages)
if [[ ${#missing[@]} -eq 0 ]]; then
  exit 0
fi

echo "ensure-deps: missing Debian packages: ${missing[*]}"
# A package of another architecture needs that architecture known to dpkg.
needs_i386=0
for p in "${missing[@]}"; do
  if [[ $p == *:i386 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    needs_i386=1
  fi
done

if [[ $(id -u) -ne 0 ]]; then
  echo "ensure-deps: not root, so nothing was installed. Run:"
  if [[ $needs_i386 == 1 ]]; then
    echo "sudo dpkg --add-architecture i386"
  fi
  echo "sudo apt-get update"
  echo "sudo apt-get install -y --no-install-recommends ${missing[*]}"
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
if [[ $needs_i386 == 1 ]]; then
  echo "ensure-deps: dpkg --add-architecture i386"
  dpkg --add-architecture i386
fi

# Runs apt-get with its output shown and kept in $apt_log; returns its status.
apt_log=$(mktemp)
trap 'rm -f "$apt_log"' EXIT
run_apt() {
  echo "ensure-deps: apt-get $*"
  local status=0
  apt-get "$@" 2>&1 | tee "$apt_log" || status=${PIPESTATUS[0]}
  return "$status"
}

# A list that fails to download (a mirror in the middle of a sync) leaves the
# others usable: the install below may still find everything.
if ! run_apt update; then
  echo "ensure-deps: apt-get update could not fetch these lists; going on without them:" >&2
  failed=$(sed -n 's/^Err:[0-9]* *//p' "$apt_log")
  [[ -n $failed ]] || failed=$(grep '^[EW]: ' "$apt_log" || true)
  printf '  %s\n' "${failed:-(apt-get named none)}" >&2
fi

# Recommends are not needed: Wine, for one, runs our tests without them.
install=(install -y --no-install-recommends)
if ! run_apt "${install[@]}" "${missing[@]}"; then
  # A list missing for one architecture (the i386 one of the security suite,
  # say) leaves the other architecture's newer versions as candidates, and
  # wine32:i386 needs the very versions of its amd64 half. Preferring the
  # release's main suite, which both architectures have whole, keeps them in
  # step.
  suite=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
  if [[ -z $suite ]]; then
    echo "ensure-deps: apt-get install failed, and /etc/os-release names no release to prefer" >&2
    exit 1
  fi
  echo "ensure-deps: apt-get install failed; once more preferring the versions of $suite" >&2
  if ! run_apt "${install[@]}" -t "$suite" "${missing[@]}"; then
    echo "ensure-deps: apt-get install failed twice. What apt-get said:" >&2
    grep -E '^(E: | [^ ].*: (Depends|PreDepends|Conflicts|Breaks):|  +(Depends|PreDepends):)' \
      "$apt_log" | sed 's/^/  /' >&2 || true
    echo "ensure-deps: to try:" >&2
    echo "  apt-get update    (a mirror in the middle of a sync serves whole lists again after a while)" >&2
    echo "  apt-get install -y --no-install-recommends ${missing[*]}" >&2
    echo "  apt-get install -y --no-install-recommends -t $suite ${missing[*]}" >&2
    exit 1
  fi
fi

mapfile -t still < <(missing_packages)
if [[ ${#still[@]} -ne 0 ]]; then
  echo "ensure-deps: still missing after apt-get install: ${still[*]}" >&2
  exit 1
fi
echo "ensure-deps: all packages installed"
