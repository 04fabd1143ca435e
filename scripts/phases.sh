# Sourced by .ci/run and scripts/test.sh: the wall time of each phase as it
# ends, and of the whole run at its end.
#   phase NAME    ends the phase under way (if any) and begins NAME
#   phase_done    ends the phase under way
# A run that stops inside a phase says which and after how long; the run's
# total follows. The outermost script that sources this prints the total.
phase_name=""
phase_began=$SECONDS
if [ -z "${PHASES_OUTER:-}" ]; then
  export PHASES_OUTER=$$
fi

phase_time() {
  local s=$1
  if ((s >= 60)); then
    printf '%d min %02d s' $((s / 60)) $((s % 60))
  else
    printf '%d s' "$s"
  fi
}

phase_done() {
  if [ -n "$phase_name" ]; then
    echo "== $phase_name: $(phase_time $((SECONDS - phase_began)))"
    phase_name=""
  fi
}

phase() {
  phase_done
  phase_name=$1
  phase_began=$SECONDS
}

phase_exit() {
  local status=$?
  if [ -n "$phase_name" ]; then
    echo "== $phase_name: FAILED after $(phase_time $((SECONDS - phase_began)))"
  fi
  if [ "$PHASES_OUTER" = $$ ]; then
    if [ "$status" -eq 0 ]; then
      echo "== total: $(phase_time "$SECONDS")"
    else
      echo "== total: $(phase_time "$SECONDS"), stopped with exit status $status"
    fi
  fi
}
trap phase_exit EXIT
