# Sourced by the scripts: `find_python NAME` prints the path (sys.executable) of an
# interpreter that runs, for NAME a path, a command (python3) or a versioned command
# (python3.12); nothing when there is none. For python3.X pyenv's installed versions come first, then PATH, so that
# pyenv's shims (which exit 127 for a version that is installed but not selected) are
# never taken for the interpreter.
find_python() {
  local name="$1" version="" candidate candidates=()
  if [[ "$name" == */* ]]; then
    candidates=("$name")
  else
    if [[ "$name" =~ ^python([0-9]+\.[0-9]+)$ ]]; then
      version="${BASH_REMATCH[1]}"
      candidates+=("${PYENV_ROOT:-$HOME/.pyenv}/versions/$version".*/bin/"$name")
    fi
    candidates+=("$(command -v "$name" || true)")
  fi
  for candidate in "${candidates[@]}"; do
    [ -n "$candidate" ] && [ -x "$candidate" ] || continue
    if "$candidate" -c "import sys; sys.exit('$version' not in ('', '%d.%d' % sys.version_info[:2]))" \
      >/dev/null 2>&1; then
      "$candidate" -c 'import sys; print(sys.executable)'
      return
    fi
  done
}
