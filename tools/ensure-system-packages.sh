#!/usr/bin/env bash
# Installs the Debian packages the build needs when they are missing (as root), or prints the
# exact command to run otherwise.
set -euo pipefail
packages=(g++ make libtbb-dev libcerf-dev liblbfgsb-dev libgtest-dev python3-venv)
if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "note: not a Debian system; make sure these are installed: ${packages[*]}" >&2
  exit 0
fi
packages_needed=("${packages[@]}")
# A Python that is not Debian's own (pyenv, a conda base) brings venv itself.
if python3 -c "import venv, ensurepip" 2>/dev/null; then
  packages_needed=("${packages[@]:0:${#packages[@]}-1}")
fi
missing=()
for p in "${packages_needed[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
  echo "Installing system packages: ${missing[*]}"
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
else
  echo "Missing system packages. Install them with:" >&2
  echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
