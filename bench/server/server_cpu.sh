#!/usr/bin/env bash
# CPU time of the example server per update cycle, on the simulated bus with
# 3 and with 127 simulated nodes.
# Usage: bench/server/server_cpu.sh BUILD_DIR [SECONDS]
# Prints, per node count, the user + system CPU time of the whole process
# divided by the number of 100 ms cycles it ran.
set -euo pipefail
build=${1:?usage: server_cpu.sh BUILD_DIR [SECONDS]}
secs=${2:-20}
root=$(cd "$(dirname "$0")/../.." && pwd)
server=$build/tools/zuntal_server
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$root"/examples/*.eds "$work"/

# A configuration of N nodes on line 1, each hosted as a simulated device; the
# three example devices in turn (1000 ms heartbeat, 500 ms heartbeat, guarding).
make_config() {
  local n=$1 eds=(zps48.eds zmc200.eds zio8.eds)
  {
    echo "LOCATION CANOPEN.LINE1"
    for ((i = 1; i <= n; i++)); do
      local id=$(((i - 1) * 127 / n + 1))
      printf 'NODE%d\t1 %d 0 0\nNODE%d.BAUDRATE\t6\n' "$id" "$id" "$id"
    done
    echo "LOCATION SIMULATION"
    for ((i = 1; i <= n; i++)); do
      local id=$(((i - 1) * 127 / n + 1))
      printf 'DEVICE%d\t1 %d "%s"\n' "$id" "$id" "${eds[$(((i - 1) % 3))]}"
    done
  } >"$work/n$n.conf"
}

for n in 3 127; do
  make_config "$n"
  python3 - "$server" "$work/n$n.conf" "$work/out$n.conf" "$secs" "$n" <<'PY'
import resource, subprocess, sys
server, conf, out, secs, n = sys.argv[1:]
subprocess.run([server, "--config", conf, "--write-config", out, "--plain", "--no-input",
                "--run-for", secs], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
               check=True)
ru = resource.getrusage(resource.RUSAGE_CHILDREN)
cpu = ru.ru_utime + ru.ru_stime
cycles = float(secs) * 10
print(f"{n:4} nodes: {cpu:.3f} s CPU in {secs} s = {cpu / cycles * 1e3:.3f} ms per 100 ms cycle "
      f"(user {ru.ru_utime:.3f} s, system {ru.ru_stime:.3f} s)")
PY
done
