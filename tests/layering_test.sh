#!/usr/bin/env bash
# Fails when a layer of src/ includes one above it (the arrows point down only:
# app -> ui -> model -> install -> platform), or when platform/ or install/ include Qt.
#   layering_test.sh SOURCE_DIR
set -euo pipefail
src=$1/src
status=0

# forbid LAYER INCLUDED_PATTERN WHAT
forbid() {
  local hits
  hits=$(grep -rnE "^[[:space:]]*#[[:space:]]*include[[:space:]]*$2" "$src/$1" || true)
  if [ -n "$hits" ]; then
    echo "$1/ includes $3:"
    echo "$hits"
    status=1
  fi
}

forbid platform '"(install|model|ui|app)/' "a higher layer"
forbid install '"(model|ui|app)/' "a higher layer"
forbid model '"(ui|app)/' "a higher layer"
forbid ui '"app/' "a higher layer"
for layer in platform install; do
  forbid "$layer" '<(Q[A-Za-z]|qt|qcoro|q[a-z]+\.h>)' "Qt"
done
exit $status
