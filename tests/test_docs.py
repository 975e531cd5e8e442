"""The documentation says what the code does.

- The worked example of docs/file-format.md matches what the module writes, byte for byte.
- Every code block of README.md and docs/*.md that is meant to run runs: the python blocks of a
  page one after another in one interpreter (names carry over), the shell blocks with bash, all
  in one fresh directory per page, with the installed module and qelm-inspect. A block shown
  as a terminal session (```console, lines "$ command" followed by the output) must print
  that output; a ```text block after the marker <!-- output --> is the output of the block
  before it. A runnable block that must not run (an installation, a Windows command) carries
  <!-- not run: reason --> on the line before it.
- The README's first protocol is the one examples/quickstart.py saves, and its picture is what
  qelm-inspect --plot draws of that file today.
"""

import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig

import pytest

import pyqelm

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOC = ROOT / "docs" / "file-format.md"
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]
PAGE_IDS = [str(p.relative_to(ROOT)) for p in PAGES]

# | 12 | 0x0C | `44 65 66 61 75 6C 74` | field | value |
ROW = re.compile(r"^\| (\d+) \| 0x([0-9A-F]+) \| `([0-9A-F ]+)` \|", re.MULTILINE)
DUMP = re.compile(r"^([0-9a-f]{8}): ((?:[0-9a-f]{2} )+)", re.MULTILINE)


@pytest.fixture
def new_file(tmp_path, monkeypatch):
    monkeypatch.delenv("QELM_TARGET_MACHINE", raising=False)
    path = tmp_path / "new.qelm"
    pyqelm.Protocol().save(str(path))
    return path.read_bytes()


def test_annotated_example_covers_every_byte(new_file):
    rows = ROW.findall(DOC.read_text(encoding="utf-8"))
    assert rows, "no annotated rows found"
    expected_offset = 0
    for offset, hex_offset, text in rows:
        data = bytes.fromhex(text)
        assert int(offset) == int(hex_offset, 16) == expected_offset, text
        assert new_file[expected_offset : expected_offset + len(data)] == data, offset
        expected_offset += len(data)
    assert expected_offset == len(new_file) == 201


def test_hex_dump_is_the_file(new_file):
    lines = DUMP.findall(DOC.read_text(encoding="utf-8"))
    assert [int(offset, 16) for offset, _ in lines] == list(range(0, 201, 16))
    assert b"".join(bytes.fromhex(text) for _, text in lines) == new_file


# --- code blocks --------------------------------------------------------------------------------

RUNNABLE = {"python", "sh", "bash", "console"}
FENCE = re.compile(r"^( *)(```+)(\S*)\s*$")
MARKER = re.compile(r"^ *<!-- (not run|output)(?:: (.*?))? -->\s*$")


def blocks_of(page):
    """The fenced blocks of a page: dicts with lang, code (dedented), line (of the fence), marker
    ("not run", "output" or None) and reason."""
    lines = page.read_text(encoding="utf-8").splitlines()
    blocks, i = [], 0
    while i < len(lines):
        fence = FENCE.match(lines[i])
        if not fence:
            i += 1
            continue
        indent, ticks, lang = fence.groups()
        body, j = [], i + 1
        while j < len(lines) and lines[j].strip() != ticks:
            body.append(lines[j][len(indent) :] if lines[j].startswith(indent) else lines[j])
            j += 1
        assert j < len(lines), f"{page.name}:{i + 1}: fence not closed"
        k = i - 1
        while k >= 0 and not lines[k].strip():
            k -= 1
        marker = MARKER.match(lines[k]) if k >= 0 else None
        blocks.append(
            {
                "lang": lang,
                "code": "\n".join(body) + "\n",
                "line": i + 1,
                "marker": marker.group(1) if marker else None,
                "reason": marker.group(2) if marker else None,
            }
        )
        i = j + 1
    return blocks


def markers_of(page):
    return [
        (n + 1, m.group(1))
        for n, line in enumerate(page.read_text(encoding="utf-8").splitlines())
        if (m := MARKER.match(line))
    ]


@pytest.mark.parametrize("page", PAGES, ids=PAGE_IDS)
def test_blocks_are_labelled_and_markers_placed(page):
    blocks = blocks_of(page)
    for index, block in enumerate(blocks):
        where = f"{page.name}:{block['line']}"
        assert block["lang"], f"{where}: a fence without a language (text, python, sh, ...)"
        if block["marker"] == "not run":
            assert block["lang"] in RUNNABLE | {"bat"}, f"{where}: 'not run' on a {block['lang']} block"
            assert block["reason"], f"{where}: 'not run' without a reason"
        if block["marker"] == "output":
            assert block["lang"] == "text", f"{where}: an output block is ```text"
            before = blocks[index - 1] if index else None
            assert before and before["lang"] in {"python", "sh", "bash"}, (
                f"{where}: output of no runnable block"
            )
            assert before["marker"] != "not run", f"{where}: output of a block that does not run"
    # Every marker stands right before a fence (nothing but blank lines between).
    used = {(b["line"], b["marker"]) for b in blocks if b["marker"]}
    lines = page.read_text(encoding="utf-8").splitlines()
    for line, kind in markers_of(page):
        following = next(n for n in range(line, len(lines)) if lines[n].strip()) + 1
        assert (following, kind) in used, f"{page.name}:{line}: marker before no fence"


DRIVER = r"""
import contextlib, io, json, subprocess, sys, traceback
blocks = json.load(sys.stdin)
namespace = {"__name__": "__main__"}
results = []
for block in blocks:
    if block["lang"] == "python":
        out = io.StringIO()
        error = None
        try:
            with contextlib.redirect_stdout(out):
                exec(compile(block["code"], block["where"], "exec"), namespace)
        except BaseException:
            error = traceback.format_exc()
        results.append({"output": out.getvalue(), "error": error})
    elif block["lang"] == "console":
        commands = []
        for command in block["commands"]:
            run = subprocess.run(["bash", "-c", command], stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, text=True, timeout=300)
            commands.append({"output": run.stdout, "status": run.returncode})
        results.append({"commands": commands})
    else:
        run = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", block["code"]],
                             capture_output=True, text=True, timeout=600)
        results.append({"output": run.stdout, "stderr": run.stderr, "status": run.returncode})
json.dump(results, sys.stdout)
"""


def console_steps(code):
    """The "$ command" lines of a console block (continued on "> " lines) with the output
    shown after each."""
    steps = []
    for line in code.splitlines():
        if line.startswith("$ "):
            steps.append([line[2:], []])
        elif line.startswith("> ") and steps and not steps[-1][1]:  # the command goes on
            steps[-1][0] += "\n" + line[2:]
        else:
            assert steps, f"console block starting with output: {line!r}"
            steps[-1][1].append(line)
    return [(command, "\n".join(shown)) for command, shown in steps]


def normalized(text):
    lines = [line.rstrip() for line in text.splitlines()]
    while lines and not lines[-1]:
        lines.pop()
    return lines


def shows(expected, actual):
    """Whether output `actual` is what `expected` shows; a line "..." stands for any lines."""
    pattern = "".join(
        r"(?:[^\n]*\n)*?" if line == "..." else re.escape(line) + r"\n"
        for line in normalized(expected)
    )
    return re.fullmatch(pattern, "".join(line + "\n" for line in normalized(actual))) is not None


def scripts_dir():
    return pathlib.Path(sysconfig.get_path("scripts"))


def page_dir(tmp_path):
    """A fresh directory standing in for the repository root: .venv is this interpreter's
    environment, examples/ the repository's examples."""
    work = tmp_path / "page"
    work.mkdir()
    (work / ".venv").symlink_to(sys.prefix, target_is_directory=True)
    (work / "examples").symlink_to(ROOT / "examples", target_is_directory=True)
    return work


def run_page(page, work, langs=RUNNABLE):
    """Runs the page's blocks of languages `langs` in `work`; returns [(block, result)] of the
    blocks that ran."""
    runs = []
    for block in blocks_of(page):
        if block["lang"] not in langs or block["marker"] == "not run":
            continue
        block["where"] = f"{page.relative_to(ROOT)}:{block['line']}"
        if block["lang"] == "console":
            block["commands"] = [command for command, _ in console_steps(block["code"])]
        runs.append(block)
    if not runs:
        return []
    env = {k: v for k, v in os.environ.items() if k != "QELM_TARGET_MACHINE"}
    env["PATH"] = os.pathsep.join([str(scripts_dir()), env.get("PATH", "")])
    env["COLUMNS"] = "100"
    done = subprocess.run(
        [sys.executable, "-c", DRIVER],
        input=json.dumps(runs),
        capture_output=True,
        text=True,
        cwd=work,
        env=env,
        timeout=1200,
    )
    assert done.returncode == 0, done.stderr
    return list(zip(runs, json.loads(done.stdout)))


needs_bash = pytest.mark.skipif(
    sys.platform == "win32" or shutil.which("bash") is None,
    reason="the pages' shell blocks are POSIX shell",
)


@needs_bash
@pytest.mark.parametrize("page", PAGES, ids=PAGE_IDS)
def test_code_blocks_run_and_show_their_output(page, tmp_path):
    if not (scripts_dir() / "qelm-inspect").exists():
        pytest.skip("qelm-inspect is not installed beside this interpreter")
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("under the sanitizers a shown standard error is not what a user sees")
    ran = run_page(page, page_dir(tmp_path))
    blocks = blocks_of(page)
    outputs = {}
    for block, result in ran:
        where = block["where"]
        if block["lang"] == "python":
            assert result["error"] is None, f"{where}:\n{result['error']}"
        elif block["lang"] == "console":
            for (command, shown), got in zip(console_steps(block["code"]), result["commands"]):
                if "$?" not in command:
                    assert got["status"] == 0, f"{where}: {command}\n{got['output']}"
                assert shows(shown, got["output"]), (
                    f"{where}: {command} printed\n{got['output']}\nnot what the page shows:\n{shown}"
                )
        else:
            assert result["status"] == 0, f"{where}:\n{result['output']}{result['stderr']}"
        outputs[block["line"]] = result.get("output")
    for index, block in enumerate(blocks):
        if block["marker"] == "output":
            before = blocks[index - 1]
            got = outputs[before["line"]]
            assert shows(block["code"], got), (
                f"{page.name}:{block['line']}: the block above printed\n{got}\n"
                f"not what the page shows:\n{block['code']}"
            )


def test_code_blocks_are_found():
    # The pages hold code that runs; a parser that found none would pass every page above.
    ran = sum(
        1
        for page in PAGES
        for block in blocks_of(page)
        if block["lang"] in RUNNABLE and block["marker"] != "not run"
    )
    assert ran >= 20


# The pages that compose one of the examples' protocols themselves: the file their code saves
# is the file the example saves, so the pictures drawn from the examples show that protocol.
SAME_PROTOCOL = [
    ("README.md", "session.qelm", "quickstart.py", "session.qelm"),
    ("docs/index.md", "session.qelm", "quickstart.py", "session.qelm"),
    ("docs/tutorial.md", "envelope.qelm", "arbitrary_envelope.py", "arbitrary_envelope.qelm"),
]


def run_example(script, tmp_path):
    out = tmp_path / "example"
    out.mkdir()
    args = [str(ROOT / "examples" / script)] + ([] if script == "quickstart.py" else ["."])
    env = {k: v for k, v in os.environ.items() if k != "QELM_TARGET_MACHINE"}
    done = subprocess.run(
        [sys.executable, *args], cwd=out, capture_output=True, text=True, env=env, timeout=300
    )
    assert done.returncode == 0, done.stderr
    return out


@needs_bash
@pytest.mark.parametrize(
    "page, saved, script, example_saved", SAME_PROTOCOL, ids=[p for p, *_ in SAME_PROTOCOL]
)
def test_page_composes_the_examples_protocol(page, saved, script, example_saved, tmp_path):
    if not (scripts_dir() / "qelm-inspect").exists():
        pytest.skip("qelm-inspect is not installed beside this interpreter")
    work = page_dir(tmp_path)
    # Only the page's python blocks: its shell blocks may run the example itself.
    ran = run_page(ROOT / page, work, {"python"})
    assert ran
    for _, result in ran:
        assert result["error"] is None, result["error"]
    example = run_example(script, tmp_path)
    assert (work / saved).read_bytes() == (example / example_saved).read_bytes()


README_PICTURE = ROOT / "docs" / "readme" / "quickstart.svg"


@needs_bash
def test_readme_picture_is_todays_plot_of_the_quickstart_file(tmp_path):
    inspect = scripts_dir() / "qelm-inspect"
    if not inspect.exists():
        pytest.skip("qelm-inspect is not installed beside this interpreter")
    example = run_example("quickstart.py", tmp_path)
    subprocess.run(
        [str(inspect), "--plot", "quickstart.svg", "session.qelm"], cwd=example, check=True
    )
    assert README_PICTURE.read_bytes() == (example / "quickstart.svg").read_bytes(), (
        "redraw it: bash tools/build-docs.sh (it copies build/docs-pictures/session.svg)"
    )
    assert "docs/readme/quickstart.svg" in (ROOT / "README.md").read_text(encoding="utf-8")


LINK = re.compile(r"\]\(([^)\s]+)\)")
# The pictures the site's build draws (tools/docs_hooks.py): one per file an example saves.
DRAWN = {
    f"img/{name}.svg"
    for name in re.findall(
        r'"(\w+)\.qelm"', (ROOT / "tools" / "docs_hooks.py").read_text(encoding="utf-8")
    )
}


@pytest.mark.parametrize("page", PAGES, ids=PAGE_IDS)
def test_relative_links_name_files_that_exist(page):
    for target in LINK.findall(page.read_text(encoding="utf-8")):
        if re.match(r"[a-z]+:", target) or target.startswith("#"):
            continue
        path = target.split("#")[0]
        if page.parent == ROOT / "docs" and path in DRAWN:
            continue
        assert (page.parent / path).exists(), f"{page.name}: link to {target}"


def test_stage_names_agree():
    script = (ROOT / "tools" / "test-all.sh").read_text(encoding="utf-8")
    listed = re.search(r"# STAGES \(words from: ([a-z0-9 ]+)\)", script).group(1).split()
    used = re.findall(r"\bwanted ([a-z0-9]+)", script)
    assert sorted(listed) == sorted(set(used))
    testing = (ROOT / "docs" / "testing.md").read_text(encoding="utf-8")
    assert f"`{' '.join(listed)}`" in re.sub(r"\s+", " ", testing)
