"""Every code block of README.md, CONTRIBUTING.md and docs/*.md runs as written.

A page runs as one shell session, its blocks in order, as a reader would type
them: `sh` blocks as they are, `python` blocks with `python -`, `sql` blocks
by their first line (`-- sqlite` on telemetry.db, `-- postgres` with psql),
`cpp` and `cmake` blocks written to the file their first line names. A block
right after a line `<!-- not-run: REASON -->` is left out. The session has .venv activated, and PGHOST and PGUSER point to a
throwaway cluster whose database `telemetry` holds the demo's rows.
README.md and CONTRIBUTING.md run in the repo root, whose demo outputs are
put back afterwards; the pages of docs/ in a directory that holds the
checkout's entries and the demo's telemetry.db, as the root does after
`make demo`.
"""

import contextlib
import os
import pathlib
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pytest

from helpers import SANITIZED

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", ROOT / "CONTRIBUTING.md", *sorted((ROOT / "docs").glob("*.md"))]
COMMENT = {"sh": "#", "python": "#", "sql": "--", "cpp": "//", "cmake": "#"}
SQL = {
    "-- sqlite": "python -c 'import sqlite3, sys; "
                 "print(sqlite3.connect(\"file:telemetry.db?mode=ro\", uri=True).execute(sys.stdin.read()).fetchall())'",
    "-- postgres": "psql -X -q -v ON_ERROR_STOP=1 -d telemetry",
}
# What runs in the repo root may make or change these files there.
OUTPUTS = ("*.db", "*.db-wal", "*.db-shm", "*.png", "*.csv", "*.jsonl")
END = "__DOCS_BLOCK__"
BIN = pathlib.Path(sys.executable).parent

pytestmark = pytest.mark.skipif(SANITIZED, reason="the documentation runs against the normal build (make test)")


def blocks(page):
    """(line, language, text, reason not run or None) of each fenced block of a page."""
    text = page.read_text()
    for m in re.finditer(r"^(?:<!-- not-run: (.*?) -->\n)?```(\S*)\n(.*?)^```$", text, re.S | re.M):
        yield text.count("\n", 0, m.start(2)) + 1, m.group(2), m.group(3), m.group(1)


def session(page):
    """The page's blocks as one bash script; each says where it starts on stderr."""
    steps = ["set -eo pipefail"]
    for line, lang, body, not_run in blocks(page):
        where = f"{page.relative_to(ROOT)}:{line}"
        if not_run is not None:
            assert not_run.strip(), f"{where}: not-run without a reason"
            continue
        assert lang in COMMENT, f"{where}: a block in {lang or 'no language'}, which the tests cannot run"
        first = body.split("\n", 1)[0]
        steps.append(f"echo '--- {where}' >&2")
        if lang == "sh":
            steps.append(body)
        elif lang == "python":
            steps.append(f"python - <<'{END}'\n{body}{END}")
        elif lang == "sql":
            assert first in SQL, f"{where}: an sql block starts with {' or '.join(SQL)}"
            steps.append(f"{SQL[first]} <<'{END}'\n{body}{END}")
        else:
            named = re.fullmatch(rf"{COMMENT[lang]} (\S+)", first)
            assert named, f"{where}: a {lang} block's first line names its file ({COMMENT[lang]} dir/file)"
            path = pathlib.PurePosixPath(named.group(1))
            steps.append(f"mkdir -p {shlex.quote(str(path.parent))} && cat > {shlex.quote(str(path))} <<'{END}'\n{body}{END}")
    return "\n".join(steps) + "\n"


def runnable(page):
    return any(not_run is None for *_, not_run in blocks(page))


@pytest.fixture(scope="module")
def demo(server, tmp_path_factory):
    """The demo's rows, as `make demo` records them: its telemetry.db, and
    the same run in the cluster's database `telemetry`."""
    server.run("createdb", "-h", server.dir, "-U", "postgres", "telemetry")
    where = tmp_path_factory.mktemp("demo")
    producer = ROOT / "build" / "producer"
    assert any(producer.glob("telem_producer*.so")), "the producer example is not built: make producer"
    env = dict(os.environ, PGHOST=str(server.dir), PGUSER="postgres", PYTHONPATH=str(producer))
    for args in (["log_demo.py"], ["log_demo.py", "--postgres", "dbname=telemetry"],
                 ["native_producer/feed_recorder.py"]):
        subprocess.run([sys.executable, ROOT / "examples" / args[0], *args[1:]], cwd=where, env=env, check=True,
                       capture_output=True, timeout=120)
    return where / "telemetry.db"


def checkout_view(where, database):
    """A directory that holds the checkout's entries (as links) and the demo's database."""
    where.mkdir()
    for entry in ROOT.iterdir():
        if entry.name != ".git" and not any(entry.match(pattern) for pattern in OUTPUTS):
            (where / entry.name).symlink_to(entry)
    shutil.copy(database, where / "telemetry.db")
    return where


@contextlib.contextmanager
def outputs_kept(directory, saved):
    """Puts the files of OUTPUTS in `directory` back as they were."""
    before = {p.name for pattern in OUTPUTS for p in directory.glob(pattern)}
    for name in before:
        shutil.copy2(directory / name, saved / name)
    try:
        yield
    finally:
        for p in [p for pattern in OUTPUTS for p in directory.glob(pattern)]:
            if p.name not in before:
                p.unlink()
        for name in before:
            shutil.copy2(saved / name, directory / name)


def stop_servers(directory):
    """Stops what a page's PostgreSQL set-up left running under `directory`."""
    for pid_file in directory.glob("*/data/postmaster.pid"):
        pid = int(pid_file.read_text().split()[0])
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGQUIT)
            deadline = time.monotonic() + 30
            while pathlib.Path(f"/proc/{pid}").exists() and time.monotonic() < deadline:
                time.sleep(0.1)


def session_env(server, tmp):
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTHONHOME", "TELEM_PYB_MODULE_DIR", "LD_PRELOAD", "MAKEFLAGS", "MFLAGS",
                        "MAKELEVEL") and not k.startswith(("PG", "PYTEST_"))}
    return dict(env, PATH=f"{BIN}{os.pathsep}{env['PATH']}", VIRTUAL_ENV=str(BIN.parent), PGHOST=str(server.dir),
                PGUSER="postgres", TMPDIR=str(tmp), PIP_DISABLE_PIP_VERSION_CHECK="1")


@pytest.mark.parametrize("page", [p for p in PAGES if runnable(p)], ids=lambda p: str(p.relative_to(ROOT)))
def test_the_code_blocks_run_as_written(page, demo, server, tmp_path):
    script = session(page)
    # The session's temporary files, where the postgres user can reach a
    # cluster's directory made inside (a PostgreSQL set-up run as root).
    tmp = pathlib.Path(tempfile.mkdtemp(prefix="telem-docs-"))
    tmp.chmod(0o755)
    (tmp_path / "saved").mkdir()
    try:
        if page.parent == ROOT:
            cwd, kept = ROOT, outputs_kept(ROOT, tmp_path / "saved")
        else:
            cwd, kept = checkout_view(tmp_path / "repo", demo), contextlib.nullcontext()
        with kept:
            proc = subprocess.run(["bash", "-c", script], cwd=cwd, env=session_env(server, tmp), capture_output=True,
                                  text=True, timeout=900)
    finally:
        stop_servers(tmp)
        shutil.rmtree(tmp, ignore_errors=True)
    failed = ([line for line in proc.stderr.splitlines() if line.startswith("--- ")] or ["before any block"])[-1]
    assert proc.returncode == 0, f"the block at {failed.removeprefix('--- ')} failed:\n{proc.stdout[-3000:]}\n" \
                                 f"{proc.stderr[-5000:]}"
