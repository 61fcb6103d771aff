#!/bin/sh
# A project outside the tree, as another team builds one: against the
# installed prefix only (CMake package and pkg-config), a driver of its own
# and the installed CAN example, run in a node started from that prefix.
# Usage: outside_test.sh SOURCE_DIR BUILD_DIR
set -eu
source=$1 build=$2
work=$(mktemp -d)
prefix=$work/prefix
trap 'RT_NODE_DIR=$work/node "$prefix/bin/konode" down >/dev/null 2>&1 || true; kill $echo_pid 2>/dev/null || true; rm -rf "$work"' EXIT
echo_pid=
cmake --install "$build" --prefix "$prefix" >/dev/null
unset RT_LIBRARY_PATH
cmake -S "$source/tests/build/outside" -B "$work/outside" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DIOHOST_EXAMPLE="$prefix/share/doc/iohost/examples/can_echo" >/dev/null
cmake --build "$work/outside" >/dev/null
echo "built against $prefix: $(cd "$work/outside" && ls tiny_driver.rsl can_echo/can_echo | tr '\n' ' ')"

# pkg-config gives what a C program on the tag store needs.
printf '#include "kohgapi.h"\n#include "rt.h"\n#include <stdio.h>\nint main(void) { printf("%%s\\n", RtNodeName()); return KoTagCount() > 1000000; }\n' > "$work/node_name.c"
PKG_CONFIG_PATH="$prefix/lib/pkgconfig" cc -o "$work/node_name" "$work/node_name.c" $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs iohost)
"$work/node_name" >/dev/null

mkdir -m 700 "$work/node"
cat > "$work/plant.toml" <<TOML
[[service]]
name = "ECAT"
driver = "canbridge.rsl"
autostart = true
settings = { Mode = 1, Cycle = 10 }

[[service]]
name = "TINY"
driver = "$work/outside/tiny_driver.rsl"
autostart = true
settings = { Mode = 1, Cycle = 10 }

[[service.input]]
tag = "Tiny.Count"
address = 0
access = "value"
type = "u32"
TOML
export RT_NODE_DIR="$work/node"
"$prefix/bin/konode" up -d "$work/plant.toml"
ko="$prefix/bin/ko"
for i in $(seq 1 100); do [ "$("$ko" get Tiny.Count)" -gt 10 ] && break; sleep 0.1; done
[ "$("$ko" get Tiny.Count)" -gt 10 ] || { echo "the outside driver does not cycle"; exit 1; }

# The CAN example, built outside: without RT_LIBRARY_PATH it says where it
# looked; with it, it answers a frame on channel 1 with the next identifier.
said=$("$work/outside/can_echo/can_echo" 1 1 2>&1) && { echo "can_echo ran without canport.rsl"; exit 1; }
echo "$said" | grep -q "RT_LIBRARY_PATH" || { echo "can_echo's load message: $said"; exit 1; }
RT_LIBRARY_PATH="$prefix/lib/rsl" "$work/outside/can_echo/can_echo" 1 1 >/dev/null 2>&1 &
echo_pid=$!
for i in $(seq 1 100); do [ "$("$ko" get SERVICE.ECAT.CAN.Run 2>/dev/null)" = 1 ] && break; sleep 0.1; done
"$ko" can send 0 123#11
frame=$(timeout 20 "$ko" can dump -n 1 -L 0)
echo "$frame" | grep -q " ch0 124#11$" || { echo "no echo from the outside can_echo: $frame"; exit 1; }
echo "an outside driver and CAN application ran in a node from $prefix"
