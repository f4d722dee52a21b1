#!/usr/bin/env bash
# Builds everything and runs the main job: the example device server on the
# in-process simulated bus with the devices of examples/.
#
# The server writes its configuration back when it stops. So that a demo run
# leaves the repository's examples/server.conf as shipped, it runs on a
# working copy: examples/server.conf and the EDS files it names are copied to
# $ZUNTAL_WORK (default ~/.local/state/zuntal) the first time, and the copy is
# read and written from then on. Remove that directory to start afresh. With
# --config on the command line the server uses that file instead.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build
config=()
if [[ " $* " != *" --config "* && " $* " != *" --config="* ]]; then
  work=${ZUNTAL_WORK:-${XDG_STATE_HOME:-$HOME/.local/state}/zuntal}
  mkdir -p "$work"
  [ -e "$work/server.conf" ] || cp examples/server.conf "$work/server.conf"
  for eds in examples/*.eds; do
    [ -e "$work/$(basename "$eds")" ] || cp "$eds" "$work/"
  done
  echo "run.sh: the configuration is the working copy $work/server.conf" \
    "(written back there on stop; remove it to start from examples/server.conf again)" >&2
  config=(--config "$work/server.conf")
fi
exec build/tools/zuntal_server "${config[@]}" "$@"
