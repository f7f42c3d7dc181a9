# Sourced by the scripts: `stage NAME command...` runs one stage and prints its
# duration; `stage_summary` prints all durations at the end.
stage_names=()
stage_seconds=()

stage() {
  local name="$1" start="$SECONDS" status=0
  shift
  echo "=== $name"
  "$@" || status=$?
  stage_names+=("$name")
  stage_seconds+=("$((SECONDS - start))")
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
}
