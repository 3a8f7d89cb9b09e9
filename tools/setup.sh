#!/usr/bin/env bash
# Brings the checkout up to date for the command (./lineage): .venv with CPython
# 3.13 and the pinned packages the command runs on (requirements-run.txt:
# current sqlglot, compiled), then the native module under build/. With
# SETUP_TESTS set (the test command) also what the tests need: .venv gets
# requirements.txt (pytest, mypy, the wheel build), a second environment
# .venv-sqlglot27 those of requirements-sqlglot27.txt (sqlglot 27.29.0), and
# the Debian packages of the browser and server tests. The module does not
# link sqlglot: both environments use it. Every step is skipped when its
# inputs have not changed, and a digest of all inputs lets an unchanged
# checkout return at once, without starting Python or CMake.
# All output goes to stderr so that commands built on it keep stdout clean.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

tests=${SETUP_TESTS:-${SETUP_BROWSER:-}}
# venv directory:requirements file
if [ -n "$tests" ]; then
    environments=(.venv:requirements.txt .venv-sqlglot27:requirements-sqlglot27.txt)
    stamp=build/.inputs-tests.sha
else
    environments=(.venv:requirements-run.txt)
    stamp=build/.inputs-run.sha
fi

say() { printf '%s\n' "$*" >&2; }

# Everything the environments and the build are made from.
inputs_digest() {
    local sources
    sources=$(find src -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' \) | LC_ALL=C sort)
    # shellcheck disable=SC2086  # one source path a word
    { printf '%s\n' "$root"; sha256sum tools/setup.sh CMakeLists.txt requirements*.txt $sources; } \
        | sha256sum | cut -d' ' -f1
}

up_to_date() {
    local entry
    for entry in "${environments[@]}"; do
        [ -x "${entry%%:*}/bin/python" ] || return 1
    done
    [ -x build/lineage-host ] && compgen -G 'build/test.*.so' >/dev/null &&
        compgen -G 'build/lineage_report.*.so' >/dev/null || return 1
    # what the tests set up holds what the command needs
    [ "$(cat "$stamp" 2>/dev/null)" = "$1" ] ||
        { [ -z "$tests" ] && [ "$(cat build/.inputs-tests.sha 2>/dev/null)" = "$1" ]; }
}

# Debian's graphviz gives the html format its layout program (dot); the test
# command also asks for chromium, the browser of the page's test, and for
# mariadb-server, whose programs start the throwaway server of the server
# reader's tests (its client and dump programs come with it). Installed
# when missing and we are root with apt-get; elsewhere the html format says
# dot is missing and those tests skip, saying why. Checked before the
# digest: a look on the PATH costs nothing.
want_debs=()
command -v dot >/dev/null 2>&1 || want_debs+=(graphviz)
if [ -n "$tests" ] && ! command -v chromium >/dev/null 2>&1; then
    want_debs+=(chromium)
fi
if [ -n "$tests" ] && ! { command -v mariadbd >/dev/null 2>&1 || [ -x /usr/sbin/mariadbd ]; }; then
    want_debs+=(mariadb-server)
fi
if [ ${#want_debs[@]} -gt 0 ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    say "setup: installing ${want_debs[*]} with apt-get"
    if ! { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
            --no-install-recommends "${want_debs[@]}"; } >&2; then
        say "setup: could not install ${want_debs[*]}; going on without"
    fi
fi

digest=$(inputs_digest)
if up_to_date "$digest"; then
    exit 0
fi

is_python313() {
    "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1
}

# A pyenv shim may sit on PATH and still fail, so every candidate is run.
find_python313() {
    local candidates=() c
    [ -n "${PYTHON313:-}" ] && candidates+=("$PYTHON313")
    c=$(command -v python3.13 2>/dev/null) && candidates+=("$c")
    for c in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13 \
             /root/.pyenv/versions/3.13*/bin/python3.13 \
             /usr/local/bin/python3.13 /usr/bin/python3.13; do
        [ -x "$c" ] && candidates+=("$c")
    done
    for c in "${candidates[@]}"; do
        if is_python313 "$c"; then
            printf '%s\n' "$c"
            return 0
        fi
    done
    say "error: no working CPython 3.13 found."
    say "looked for: \$PYTHON313, python3.13 on PATH, \${PYENV_ROOT:-~/.pyenv}/versions/3.13*/bin/python3.13,"
    say "            /usr/local/bin/python3.13 and /usr/bin/python3.13"
    return 1
}

# make_environment VENV REQUIREMENTS
make_environment() {
    local venv=$1 requirements=$2 python want site pth
    if [ ! -x "$venv/bin/python" ] || ! is_python313 "$venv/bin/python"; then
        python=$(find_python313)
        say "setup: creating $venv with $python"
        rm -rf "$venv"
        "$python" -m venv "$venv"
    fi

    # A requirements file and those it includes (-r): one digest, one stamp each.
    want=$(cat "$requirements" $(sed -n 's/^-r //p' "$requirements") | sha256sum | cut -d' ' -f1)
    if [ "$(cat "$venv/.$requirements.sha" 2>/dev/null)" != "$want" ]; then
        say "setup: installing the packages of $requirements into $venv"
        "$venv/bin/python" -m pip install --disable-pip-version-check -q -r "$requirements" >&2
        printf '%s\n' "$want" > "$venv/.$requirements.sha"
    fi

    # The toolkit modules (toolkit/) and the column_lineage package (src/)
    # are ours; a .pth file puts them on the venv's path.
    site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
    pth="$site/kelvo_toolkit.pth"
    paths=$(printf '%s\n%s' "$root/toolkit" "$root/src")
    if [ "$(cat "$pth" 2>/dev/null)" != "$paths" ]; then
        printf '%s\n' "$paths" > "$pth"
    fi
}

if [ ! -x build/lineage-host ]; then
    say "setup: first run: making .venv and building the native module (a minute or two)"
fi
for entry in "${environments[@]}"; do
    make_environment "${entry%%:*}" "${entry#*:}"
done

venv=.venv
# CMake from the PATH, or else from PyPI into the venv.
cmake=$(command -v cmake 2>/dev/null || true)
if [ -z "$cmake" ]; then
    if [ ! -x "$venv/bin/cmake" ]; then
        say "setup: installing cmake into $venv"
        "$venv/bin/python" -m pip install --disable-pip-version-check -q cmake >&2
    fi
    cmake="$venv/bin/cmake"
fi

# The build uses the interpreter behind the venv, whose headers and library
# the module and the host are built against.
base_python=$("$venv/bin/python" -c 'import sys; print(sys._base_executable)')
if [ ! -f build/Makefile ]; then
    say "setup: configuring build/"
    "$cmake" -S . -B build -DCMAKE_BUILD_TYPE=Release \
          -DPython3_EXECUTABLE="$base_python" >build.configure.log 2>&1 \
        || { cat build.configure.log >&2; exit 1; }
    mv build.configure.log build/configure.log
fi
if ! "$cmake" --build build -j 2 >build/build.log 2>&1; then
    cat build/build.log >&2
    exit 1
fi
printf '%s\n' "$digest" > "$stamp"
[ -z "$tests" ] || printf '%s\n' "$digest" > build/.inputs-run.sha
