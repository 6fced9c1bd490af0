#!/usr/bin/env bash
# Development build without installing: compiles into build/NAME and lays out an
# importable tree in build/NAME/stage. Prints the stage directory.
#   PYTHONPATH=$(scripts/devbuild.sh mine) pytest tests/...
# Run pytest through its console script (not `python -m`), so the source tree,
# which has no built extension, is not put ahead of the stage on sys.path.
set -euo pipefail
name=${1:-dev}
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/$name"
python=${PYTHON:-python3}
cmake -S "$root" -B "$build" -G Ninja -DPython_EXECUTABLE="$(command -v "$python")" \
    -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" ${CMAKE_ARGS:-} >/dev/null
ninja -C "$build" >&2
rm -rf "$build/stage"
mkdir -p "$build/stage"
(cd "$root" && find quorvel_master \( -name '*.py' -o -name '*.pyi' -o -name py.typed \) -print0 |
    xargs -0 -I{} cp --parents {} "$build/stage/")
cp "$build"/package_index_client*.so "$build/stage/quorvel_master/business_layer/packages/"
cp "$build"/_native*.so "$build/stage/quorvel_master/"
echo "$build/stage"
