"""MkDocs hooks of the documentation site (mkdocs.yml names this file).

Before the pages are read, the hooks
  - copy the two type stubs into build/docs-stubs as packages, where the API reference pages
    read them (griffe, through mkdocstrings), with their Sphinx roles (:class:`Protocol`)
    turned into links the site resolves;
  - run every example script into build/docs-pictures and draw each protocol it saves with
    `qelm-inspect --plot`; the pictures join the site as img/<file>.svg.

The project's interpreter (the one with pyqelm, qelmfile and qelm-inspect installed) is
$QELM_PYTHON, by default .venv/bin/python; tools/build-docs.sh sets it.
"""

import os
import pathlib
import re
import shutil
import subprocess

from mkdocs.exceptions import PluginError
from mkdocs.structure.files import File

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUBS = ROOT / "build" / "docs-stubs"
PICTURES = ROOT / "build" / "docs-pictures"

# The example scripts and the files they save; quickstart.py saves into its working directory,
# the others into the directory given as their argument. variant_from_file.py saves base.qelm
# first, then variant.qelm.
EXAMPLES = {
    "quickstart.py": ["session.qelm"],
    "sine_session.py": ["sine_session.qelm"],
    "two_channels_external.py": ["two_channels_external.qelm"],
    "arbitrary_envelope.py": ["arbitrary_envelope.qelm"],
    "mixed_signal.py": ["mixed_signal.qelm"],
    "variant_from_file.py": ["base.qelm", "variant.qelm"],
}

ROLE = re.compile(r":(?:class|meth|func|attr):`~?([\w.]+)`")


def project_python() -> pathlib.Path:
    return pathlib.Path(os.environ.get("QELM_PYTHON", ROOT / ".venv" / "bin" / "python"))


def inspect_command() -> pathlib.Path:
    python = project_python()
    command = python.parent / "qelm-inspect"
    if not command.exists():
        raise PluginError(f"docs hooks: {command} not found (build the project into {python.parent.parent})")
    return command


def stub_names(text: str) -> set[str]:
    """The module-level names a stub defines (classes and functions)."""
    return set(re.findall(r"^(?:class|def)\s+(\w+)", text, re.MULTILINE))


def link_roles(module: str, text: str, names: dict[str, set[str]]) -> str:
    """`:class:`X`` becomes a link to the object X names, found in `module` first, then as a
    method of its Protocol class (the only class whose methods the stubs refer to bare)."""

    def link(match: re.Match[str]) -> str:
        target = match.group(1)
        if target.split(".")[0] in names:
            path = target
        elif target.split(".")[0] in names[module]:
            path = f"{module}.{target}"
        else:
            path = f"{module}.Protocol.{target}"
        return f"[`{target}`][{path}]"

    return ROLE.sub(link, text)


def copy_stubs() -> None:
    texts = {m: (ROOT / f"{m}.pyi").read_text(encoding="utf-8") for m in ("pyqelm", "qelmfile")}
    names = {m: stub_names(t) for m, t in texts.items()}
    shutil.rmtree(STUBS, ignore_errors=True)
    for module, text in texts.items():
        (STUBS / module).mkdir(parents=True)
        (STUBS / module / "__init__.pyi").write_text(link_roles(module, text, names), "utf-8")


def run(args: list[str], cwd: pathlib.Path) -> None:
    done = subprocess.run(args, cwd=cwd, capture_output=True, text=True, timeout=300)
    if done.returncode != 0:
        raise PluginError(
            f"docs hooks: {' '.join(args)} exited with {done.returncode}:\n{done.stdout}{done.stderr}"
        )


def draw_pictures() -> list[pathlib.Path]:
    python, inspect = project_python(), inspect_command()
    shutil.rmtree(PICTURES, ignore_errors=True)
    work = PICTURES / "work"
    work.mkdir(parents=True)
    pictures = []
    for script, saved in EXAMPLES.items():
        args = [str(python), str(ROOT / "examples" / script)]
        if script != "quickstart.py":
            args.append(".")
        run(args, work)
        for name in saved:
            svg = PICTURES / (pathlib.Path(name).stem + ".svg")
            run([str(inspect), "--plot", str(svg), name], work)
            pictures.append(svg)
    return pictures


_pictures: list[pathlib.Path] = []


def on_pre_build(config, **kwargs):
    copy_stubs()
    _pictures[:] = draw_pictures()


def on_files(files, config, **kwargs):
    for svg in _pictures:
        files.append(File.generated(config, f"img/{svg.name}", abs_src_path=str(svg)))
    return files
