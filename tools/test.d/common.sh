# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
# What the suites of tools/test.d share, sourced by each of them as
# `. "$(dirname "$0")/common.sh"`; not executable, so tools/test does not run
# it as a suite. Moves to the top of the tree. A suite that uses needs_release,
# needs_root or verdict sets $name first, the words its messages start with.

cd "$(dirname "$0")/../.."

# The build the suites test: the release preset's, made before they run.
build=build/release

# Skips the suite (passing) unless the release preset is among those tested.
needs_release() {
  case " ${KXR_PRESETS:-release} " in
    *" release "*) ;;
    *) echo "$name: skipped (the release preset is not among: ${KXR_PRESETS:-})"; exit 0 ;;
  esac
}

# Skips the suite (passing) without root, which a private mount namespace needs.
needs_root() {
  if [ "$(id -u)" != 0 ]; then
    echo "$name: skipped (needs root for a private mount namespace)"
    exit 0
  fi
}

# Runs the command and says "<name>: PASS", with $pass_note in brackets when
# set, or "<name>: FAIL" and fails the suite.
verdict() {
  if "$@"; then
    echo "$name: PASS${pass_note:+ ($pass_note)}"
  else
    echo "$name: FAIL"
    exit 1
  fi
}

# Installs the npm packages of the folder's package-lock.json.
npm_ci() { (cd "$1" && npm ci --no-audit --no-fund --loglevel=error); }

# A CMake cache setting of the build.
setting() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }

# The Debian package's path in the build.
deb_path() { echo "$build/kxrwebserver_$(setting CMAKE_PROJECT_VERSION)_$(dpkg --print-architecture).deb"; }

# Makes the Debian package (CPack); shows its output only when that fails.
make_package() {
  local out
  out=$(cmake --build --preset release --target package 2>&1) || { echo "$out"; exit 1; }
}
