"""tests/run and tests/sid_pythons.sh refuse arguments they do not know
before doing anything, a failed step of tests/run stops that step but not
the run, and the sid root's preparation says why it skips where the root
cannot be made, never deleting a root that has mounts."""

import os
import shutil
import subprocess

import pytest

from packaging_support import ROOT

RUN = ROOT / "tests" / "run"
STEPS = ROOT / "tests" / "steps.sh"
SID = ROOT / "tests" / "sid_pythons.sh"
UNREACHABLE = "http://127.0.0.1:9/debian"  # the discard port: refused at once

as_root = pytest.mark.skipif(
    os.geteuid() != 0 or shutil.which("debootstrap") is None or shutil.which("unshare") is None,
    reason="making a root needs root, debootstrap and unshare")


def call(*command, env=None):
    return subprocess.run([str(part) for part in command], capture_output=True, text=True,
                          env=env, timeout=120)


def sid_env(root, **more):
    return {**os.environ, "ZEMBRIK_SID_ROOT": str(root), **more}


def last_line(done):
    return done.stdout.rstrip().splitlines()[-1]


def test_run_prints_its_modes():
    done = call(RUN, "--help")
    assert done.returncode == 0, done.stderr
    first, rest = done.stdout.split("\n", 1)
    assert first == "usage: tests/run [--quick]"
    assert "--quick" in rest
    assert "== layers" not in done.stdout


@pytest.mark.parametrize("args", [["--bogus"], ["--quick", "-x"], ["quick"]])
def test_run_refuses_an_unknown_argument_before_running_anything(args):
    done = call(RUN, *args)
    assert done.returncode == 2
    assert done.stderr.startswith(f"tests/run: unknown argument: {args[-1]}\nusage: tests/run")
    assert done.stdout == ""


STEP_SCRIPT = """set -euo pipefail
. "$1"
stops_at_its_first_failure() { echo "first ran"; false; echo "first went on"; }
passes() { echo "second ran"; }
run_step "first" stops_at_its_first_failure
run_step "second" passes
run_step "third" sh -c "exit 3"
note_failed_step "noted"
report_steps
echo "the run went on after its report"
"""


def test_a_failed_step_ends_itself_and_the_run_goes_on_to_report_every_failure():
    done = call("bash", "-c", STEP_SCRIPT, "bash", STEPS)
    assert done.returncode == 1, done.stderr
    lines = done.stdout.splitlines()
    assert "first ran" in lines and "second ran" in lines
    assert "first went on" not in lines and "the run went on after its report" not in lines
    assert lines[-4:] == ["== 3 steps failed:", "==   first", "==   third", "==   noted"]


def test_a_run_whose_steps_pass_reports_so_and_goes_on():
    script = '. "$1"; run_step "only" true; report_steps; echo after'
    done = call("bash", "-c", f"set -euo pipefail; {script}", "bash", STEPS)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["== only", "== every step passed", "after"]


@pytest.mark.parametrize("args", [[], ["test"], ["prepare", "extra"], ["run"]])
def test_sid_pythons_refuses_wrong_arguments(args, tmp_path):
    done = call(SID, *args, env=sid_env(tmp_path / "root"))
    assert done.returncode == 2
    assert done.stderr.startswith("usage: tests/sid_pythons.sh prepare | test WHEEL")
    assert not (tmp_path / "root").exists()


def test_testing_without_a_root_skips_and_says_so(tmp_path):
    wheel = tmp_path / "zembrik_core-0-cp312-abi3-linux_x86_64.whl"
    wheel.write_bytes(b"")
    done = call(SID, "test", wheel, env=sid_env(tmp_path / "root"))
    assert done.returncode == 3
    assert last_line(done).startswith("== skipped: there is no root")


@as_root
def test_a_failed_debootstrap_skips_with_its_reason_and_clears_the_unfinished_root(tmp_path):
    root = tmp_path / "root"
    root.mkdir()
    (root / "left-over").write_text("from an interrupted run")
    done = call(SID, "prepare", env=sid_env(root, ZEMBRIK_SID_MIRROR=UNREACHABLE))
    assert done.returncode == 3, done.stdout + done.stderr
    assert f"== removing the unfinished root {root}" in done.stdout
    assert not (root / "left-over").exists()
    assert last_line(done).startswith("== skipped: debootstrap could not make the root")
    assert not (root / ".zembrik-bootstrapped").exists()
    assert (tmp_path / "root-logs" / "debootstrap.log").stat().st_size > 0


@as_root
def test_an_unfinished_root_with_a_mount_in_it_is_kept(tmp_path):
    root = tmp_path / "root"
    (root / "proc").mkdir(parents=True)
    (root / "keep").write_text("")
    # The mount lives in a mount namespace of the test's own, so it cannot
    # outlive the test; the script's own namespace starts as a copy of it.
    script = 'mount -t tmpfs probe "$1/proc" && exec "$2" prepare'
    done = call("unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh",
                root, SID, env=sid_env(root, ZEMBRIK_SID_MIRROR=UNREACHABLE))
    assert done.returncode == 3, done.stdout + done.stderr
    assert last_line(done) == f"== skipped: {root} has mounts left by an earlier run; unmount them first"
    assert (root / "keep").exists()
    assert "removing" not in done.stdout
