# Shared by the scripts: finds CPython 3.10 and prepares virtual environments.
# Sourced, not run. Each step prints one line; the tools' own output goes to
# the log file $RUVO_LOG (build/setup.log), which the message names on failure.

RUVO_LOG=${RUVO_LOG:-build/setup.log}

# step MESSAGE COMMAND...: prints MESSAGE, runs COMMAND with its output appended
# to the log; on failure prints the log's tail and where the whole log is.
step() {
    local message=$1
    shift
    mkdir -p "$(dirname "$RUVO_LOG")"
    echo "$message" >&2
    echo "== $message: $*" >>"$RUVO_LOG"
    if ! "$@" >>"$RUVO_LOG" 2>&1; then
        echo "failed: $message; the last lines of $RUVO_LOG:" >&2
        tail -n 20 "$RUVO_LOG" >&2
        echo "(the whole output is in $RUVO_LOG)" >&2
        return 1
    fi
}

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
        step "creating $dir" "$py" -m venv "$dir" || return 1
        step "updating pip in $dir" "$dir/bin/python" -m pip install --upgrade pip || return 1
    fi
    step "installing the build tools" \
        "$dir/bin/python" -m pip install "scikit-build-core>=0.9" "cmake>=3.18" ninja || return 1
}

# install_package VENV BUILD_DIR [config settings...]: builds and installs ruvo with its test extras.
install_package() {
    local venv=$1 build=$2 message="building the native modules"
    shift 2
    [ -d "$build" ] || message="$message (about 30 s)"
    step "$message and installing ruvo into $venv" \
        "$venv/bin/python" -m pip install --no-build-isolation -Cbuild-dir="$build" "$@" ".[test,bench,live]"
}

# Installs Debian's chromium and its driver for the browser tests when they are
# missing and this is a Debian machine where we are root; otherwise those tests skip.
ensure_browser() {
    command -v chromium >/dev/null 2>&1 && command -v chromedriver >/dev/null 2>&1 && return 0
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        step "installing chromium for the browser tests" \
            sh -c 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium chromium-driver' ||
            echo "chromium could not be installed; the browser tests will be skipped" >&2
    fi
    return 0
}
