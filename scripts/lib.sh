# Shared by the scripts: finds CPython 3.10 and prepares virtual environments.
# Sourced, not run.

# Prints the path of a CPython 3.10 interpreter, or fails with a message.
find_python310() {
    local py
    if [ -n "${RUVO_PYTHON:-}" ]; then echo "$RUVO_PYTHON"; return; fi
    if command -v pyenv >/dev/null 2>&1; then
        for v in $(pyenv versions --bare 2>/dev/null | grep -E '^3\.10(\.|$)' | sort -V -r); do
            py=$(PYENV_VERSION=$v pyenv which python3.10 2>/dev/null) && { echo "$py"; return; }
        done
    fi
    for py in python3.10 /usr/bin/python3.10 /usr/local/bin/python3.10 "$HOME"/.pyenv/versions/3.10*/bin/python3.10; do
        if command -v "$py" >/dev/null 2>&1; then command -v "$py"; return; fi
    done
    echo "CPython 3.10 not found: install it (pyenv install 3.10) or set RUVO_PYTHON" >&2
    return 1
}

# make_venv DIR PYTHON: a virtual environment with the build tools, made once.
make_venv() {
    local dir=$1 py=$2
    if [ ! -x "$dir/bin/python" ]; then
        "$py" -m venv "$dir"
        "$dir/bin/python" -m pip install -q --upgrade pip
    fi
    "$dir/bin/python" -m pip install -q "scikit-build-core>=0.9" "cmake>=3.18" ninja
}

# install_package VENV BUILD_DIR [config settings...]: builds and installs ruvo with its
# test extras (and Tornado for the live page).
install_package() {
    local venv=$1 build=$2
    shift 2
    "$venv/bin/python" -m pip install -q --no-build-isolation -Cbuild-dir="$build" "$@" ".[test,bench,live]"
}

# Installs Debian's chromium and chromium-driver for the browser tests when one
# is missing and this is a Debian machine where we are root; otherwise those tests skip.
ensure_browser() {
    command -v chromium >/dev/null 2>&1 && command -v chromedriver >/dev/null 2>&1 && return 0
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "installing chromium and chromium-driver for the browser tests..." >&2
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium chromium-driver; } >/dev/null 2>&1 ||
            echo "chromium could not be installed; the browser tests will be skipped" >&2
    fi
    return 0
}
