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
  local name="$1" start="$SECONDS" status=0 log=""
  shift
  if [ -n "$stage_log_dir" ]; then
    mkdir -p "$stage_log_dir"
    log="$stage_log_dir/$(printf '%02d' "$((${#stage_names[@]} + 1))")-$(
      tr 'A-Z' 'a-z' <<<"$name" | sed -e 's/[^a-z0-9.]\{1,\}/-/g' -e 's/^-//' | cut -c 1-48 | sed 's/-$//').log"
    echo "=== $name (log: $log)"
    "$@" >"$log" 2>&1 </dev/null || status=$?
  else
    echo "=== $name"
    "$@" || status=$?
  fi
  stage_names+=("$name")
  stage_seconds+=("$((SECONDS - start))")
  if ((status)) && [ -n "$log" ]; then
    echo "--- the last 80 lines of $log:"
    tail -n 80 "$log"
    echo "---"
  fi
  echo "=== $name: $((SECONDS - start)) s$( ((status)) && echo " (FAILED, exit status $status)")"
  return "$status"
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
