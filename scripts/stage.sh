# Sourced by the scripts: `stage NAME command...` runs one stage and prints its
# duration; `stage_summary` prints all durations at the end.
#
# With `stage_log_dir` set (scripts/test.sh sets it), each stage's output goes to a file
# of its own in that folder, and the screen shows a line per stage, with the last lines
# of the log of a stage that fails.
stage_names=()
stage_seconds=()
stage_log_dir="${stage_log_dir:-}"

stage() {
  # The locals carry a prefix of their own: bash's locals are seen by the functions a
  # stage calls, which may read globals of the same plain names (log, status, ...).
  local stage_name="$1" stage_start="$SECONDS" stage_status=0 stage_log=""
  shift
  if [ -n "$stage_log_dir" ]; then
    mkdir -p "$stage_log_dir"
    stage_log="$stage_log_dir/$(printf '%02d' "$((${#stage_names[@]} + 1))")-$(
      tr 'A-Z' 'a-z' <<<"$stage_name" | sed -e 's/[^a-z0-9.]\{1,\}/-/g' -e 's/^-//' | cut -c 1-48 | sed 's/-$//').log"
    echo "=== $stage_name (log: $stage_log)"
    "$@" >"$stage_log" 2>&1 </dev/null || stage_status=$?
  else
    echo "=== $stage_name"
    "$@" || stage_status=$?
  fi
  stage_names+=("$stage_name")
  stage_seconds+=("$((SECONDS - stage_start))")
  if ((stage_status)) && [ -n "$stage_log" ]; then
    echo "--- the last 80 lines of $stage_log:"
    tail -n 80 "$stage_log"
    echo "---"
  fi
  echo "=== $stage_name: $((SECONDS - stage_start)) s$( ((stage_status)) && echo " (FAILED, exit status $stage_status)")"
  return "$stage_status"
}

stage_summary() {
  local i total=0
  echo "=== stage times"
  for i in "${!stage_names[@]}"; do
    printf '  %-44s %5d s\n' "${stage_names[$i]}" "${stage_seconds[$i]}"
    total=$((total + stage_seconds[i]))
  done
  printf '  %-44s %5d s\n' total "$total"
  if [ -n "$stage_log_dir" ]; then echo "  each stage's output: $stage_log_dir/"; fi
}
