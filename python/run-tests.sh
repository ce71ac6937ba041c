#!/usr/bin/env bash
# Installs the package with pip into a fresh virtual environment (which sees the system's pytest)
# and runs its tests there against a built library, as a user of the package would.
# Usage: python/run-tests.sh PYTHON LIBRARY [pytest arguments...]
set -euo pipefail
python=$1
library=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# pip builds in the folder it installs from: a copy keeps the repository clean.
cp -r "$here" "$scratch/source"
# Without a pip of its own: the system's (python3-pip) installs into it, in a fraction of the time.
"$python" -m venv --system-site-packages --without-pip "$scratch/venv"
"$scratch/venv/bin/python" -m pip install --quiet --no-build-isolation --no-deps --no-index \
  "$scratch/source"
# From elsewhere than the source folder, so that the tests import the installed package.
cd "$scratch"
ZOR_QEL_LIBRARY=$library "$scratch/venv/bin/python" -m pytest -q -p no:cacheprovider \
  "$scratch/source/tests" "$@"
