#!/usr/bin/env bash
# Builds everything and runs the main job: the example device server on the
# in-process simulated bus with the devices of examples/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build
exec build/tools/zuntal_server "$@"
