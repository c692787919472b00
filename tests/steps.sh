# The steps of tests/run. A step that fails is noted and the run goes on to
# the next, so that one run shows every failure; report_steps ends the run,
# non-zero when any step failed.
#
#   run_step "C++ tests" cpp_tests    # a command or a shell function
#   note_failed_step "Python suite on CPython 3.12.1"
#   report_steps
#
# Sourced by a script that runs under `set -e`.

failed_steps=()

run_step() {
  local label=$1 status
  shift
  echo "== $label"
  set +e
  # A subshell outside any condition, so that `set -e` stops the step at its
  # first failing command, inside functions too (in a condition, bash would
  # ignore it there).
  (set -e; "$@")
  status=$?
  set -e
  if [ "$status" -ne 0 ]; then
    note_failed_step "$label"
    echo "== $label failed (status $status); going on with the next step"
  fi
}

note_failed_step() {
  failed_steps+=("$1")
}

report_steps() {
  if [ ${#failed_steps[@]} -eq 0 ]; then
    echo "== every step passed"
    return 0
  fi
  if [ ${#failed_steps[@]} -eq 1 ]; then
    echo "== 1 step failed:"
  else
    echo "== ${#failed_steps[@]} steps failed:"
  fi
  printf '==   %s\n' "${failed_steps[@]}"
  exit 1
}
