# Sourced by the test scripts: installs GoogleTest from the system packages when missing and
# makes the venv "$VENV" (from "$PYTHON") with an up-to-date pip, CMake and Ninja.

if [ ! -f /usr/include/gtest/gtest.h ]; then
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq libgtest-dev >/dev/null
fi

"$PYTHON" -m venv "$VENV"
"$VENV/bin/python" -m pip install -q --upgrade pip
"$VENV/bin/python" -m pip install -q cmake ninja
