#!/usr/bin/env bash
# Builds the documentation site into build/site (open build/site/index.html):
#
#   bash tools/build-docs.sh
#
# The pages are docs/*.md; the API reference is read from the type stubs pyqelm.pyi and
# qelmfile.pyi; every picture is drawn during the build by qelm-inspect --plot from the
# protocols the examples save (tools/docs_hooks.py). MkDocs and its plugins, at the versions
# pinned in docs/requirements.txt, go into a venv of their own, .venv-docs. The examples run
# with the project's interpreter: .venv (the one the suites stage and command 1 make) when it
# holds the project, else a new build into it. The build is strict: a broken link, a page
# missing from the navigation or a reference the stubs do not define fails it. The README's
# picture, docs/readme/quickstart.svg, is redrawn when the drawing has changed.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PYTHON=${PYTHON:-python3}
VENV=${VENV:-.venv}
DOCS_VENV=${DOCS_VENV:-.venv-docs}
mkdir -p build/tmp
export TMPDIR=${TMPDIR:-$ROOT/build/tmp}
export PIP_DISABLE_PIP_VERSION_CHECK=1
export PIP_CACHE_DIR=${PIP_CACHE_DIR:-$ROOT/build/pip-cache}

if [ -x "$VENV/bin/qelm-inspect" ] && "$VENV/bin/python" -c "import pyqelm, qelmfile" 2>/dev/null; then
    echo "-- $(date +%H:%M:%S) the project in $VENV, as built"
else
    echo "-- $(date +%H:%M:%S) building the project into $VENV (pip install .[numpy])"
    "$PYTHON" -m venv "$VENV"
    "$VENV/bin/python" -m pip install -q ".[numpy]"
fi

echo "-- $(date +%H:%M:%S) MkDocs into $DOCS_VENV (docs/requirements.txt)"
[ -x "$DOCS_VENV/bin/python" ] || "$PYTHON" -m venv "$DOCS_VENV"
"$DOCS_VENV/bin/python" -m pip install -q -r docs/requirements.txt

echo "-- $(date +%H:%M:%S) mkdocs build --strict"
QELM_PYTHON=$ROOT/$VENV/bin/python NO_MKDOCS_2_WARNING=1 "$DOCS_VENV/bin/mkdocs" build --strict --clean \
    --config-file mkdocs.yml --site-dir build/site
# The README shows the quickstart's picture from the repository (tests/test_docs.py checks that
# it is today's drawing); a change in the drawing is copied there, to be committed.
if ! cmp -s build/docs-pictures/session.svg docs/readme/quickstart.svg; then
    mkdir -p docs/readme
    cp build/docs-pictures/session.svg docs/readme/quickstart.svg
    echo "-- docs/readme/quickstart.svg redrawn: commit it"
fi
echo "-- $(date +%H:%M:%S) site: build/site/index.html ($(find build/site -name '*.html' | wc -l) pages)"
