#!/bin/sh
# Installs the build into a temporary prefix and runs a node from there:
# konode, iohost, the EtherCAT driver and the simulated master must find
# one another and their libraries through the installed layout alone.
set -eu
build=$1
work=$(mktemp -d)
trap 'RT_NODE_DIR=$work/node "$work/prefix/bin/konode" down >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
mkdir -m 700 "$work/node"
cat > "$work/plant.toml" <<'TOML'
[[service]]
name = "ECAT"
driver = "ecatlink.rsl"
autostart = true
settings = { Mode = 1, Cycle = 10 }
TOML
export RT_NODE_DIR="$work/node"
unset RT_LIBRARY_PATH
"$work/prefix/bin/konode" check "$work/plant.toml"
"$work/prefix/bin/konode" up -d "$work/plant.toml"
for i in $(seq 1 300); do
  [ "$("$work/prefix/bin/ko" get SERVICE.ECAT.Run 2>/dev/null)" = 1 ] &&
    [ "$("$work/prefix/bin/ko" get ECATSIM.default.State 2>/dev/null)" = 8 ] && break
  sleep 0.1
done
[ "$("$work/prefix/bin/ko" get SERVICE.ECAT.Run)" = 1 ] || { echo "the installed node did not run"; exit 1; }
[ "$("$work/prefix/bin/ko" get ECATSIM.default.State)" = 8 ] || { echo "the installed master is not operational"; exit 1; }
"$work/prefix/bin/konode" down
echo "installed node ran from $work/prefix"
# The installed unit names the installed konode, and systemd finds nothing to fault.
unit="$work/prefix/lib/systemd/system/konode@.service"
grep -q "^ExecStart=$work/prefix/bin/konode up" "$unit" || { echo "the unit does not name $work/prefix/bin/konode"; exit 1; }
if command -v systemd-analyze >/dev/null; then
  cp "$unit" "$work/konode@plant.service"
  said=$(systemd-analyze verify "$work/konode@plant.service" 2>&1) || true
  [ -z "$said" ] || { echo "systemd-analyze verify says: $said"; exit 1; }
else
  echo "systemd-analyze is not installed (Debian package systemd): the unit is not verified"
fi
