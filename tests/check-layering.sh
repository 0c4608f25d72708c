#!/usr/bin/env bash
# Fails when a source file includes a project header from a higher layer than its own.
set -euo pipefail
src=${1:?usage: check-layering.sh SRC_DIR}
rank() {
  case $1 in
    log) echo 0 ;; platform) echo 1 ;; policy) echo 2 ;; bridge) echo 3 ;; app) echo 4 ;;
    app/gtk) echo 5 ;; main) echo 6 ;; *) echo -1 ;;
  esac
}
layer_of() {  # layer of a path relative to src/
  case $1 in
    app/gtk/*) echo app/gtk ;; */*) echo "${1%%/*}" ;; *) echo main ;;
  esac
}
status=0
cd "$src"
while IFS= read -r file; do
  own=$(layer_of "$file")
  while IFS= read -r header; do
    [[ -z $header ]] && continue
    theirs=$(layer_of "$header")
    if (( $(rank "$theirs") > $(rank "$own") )); then
      echo "layering: $file ($own) includes $header ($theirs)"
      status=1
    fi
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(find . -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.in' \) | sed 's|^\./||')
if grep -rlE '#[[:space:]]*include[[:space:]]*<(gtk|webkit|glib|gio|jsc)/' --include='*.[ch]pp' . \
    | grep -v '^\./app/gtk/'; then
  echo "layering: only app/gtk may include GTK or WebKitGTK headers"
  status=1
fi
exit $status
