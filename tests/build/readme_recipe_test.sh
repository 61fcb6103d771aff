#!/bin/sh
# Runs the README's hand-run recipe as written, from the top of the checkout,
# with the build's programs: every line must succeed and the barriers must
# follow the lamps. Usage: readme_recipe_test.sh SOURCE_DIR BUILD_DIR
set -eu
source_dir=$1
build_dir=$2
recipe=$(mktemp)
out=$(mktemp)
trap 'rm -f "$recipe" "$out"' EXIT
# The indented block under the heading, up to the next heading.
awk '/^## Running one service by hand/ {inside = 1; next}
     /^## / {inside = 0}
     inside && /^    / {sub(/^    /, ""); print}' "$source_dir/README.md" > "$recipe"
[ -s "$recipe" ] || { echo "no recipe found in README.md"; exit 1; }
cd "$source_dir"
# The recipe's build/bin is this build's.
sed -i "s|\$PWD/build/bin|$build_dir/bin|" "$recipe"
# In a process group of its own: whatever it left running when a line failed ends with it.
setsid sh -eu "$recipe" > "$out" 2>&1 &
group=$!
if wait "$group"; then status=0; else status=$?; fi
kill -TERM -- "-$group" 2>/dev/null || true
if [ "$status" -ne 0 ]; then
    echo "the recipe failed:"; cat "$out"; exit 1
fi
grep -qx 5 "$out" || { echo "Line1.Barriers did not follow the lamps:"; cat "$out"; exit 1; }
echo "recipe ran"
