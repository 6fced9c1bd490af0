# Sourced by .ci/run and scripts/build_wheels.sh.
#
# interpreter 3.X: pyenv's newest interpreter of that minor version when
# there is one, else python3.X on PATH; prints nothing and fails when neither
# exists.
interpreter() {
    local version=$1 root found
    root=${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")}
    found=$(ls -d "$root"/versions/"$version".*/bin/python"$version" 2>/dev/null | sort -V | tail -n 1)
    if [ -n "$found" ]; then echo "$found"; else command -v "python$version"; fi
}
