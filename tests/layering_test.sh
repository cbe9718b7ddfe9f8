#!/usr/bin/env bash
# Fails when a layer of src/ includes one above it (the arrows point down only:
# app -> ui -> model -> install -> codesign -> platform), when the layers above codesign/
# reach into it past code_signing.h, or when platform/, codesign/ or install/ include Qt.
#   layering_test.sh SOURCE_DIR
set -euo pipefail
src=$1/src
status=0

# forbid LAYER INCLUDED_PATTERN WHAT [ALLOWED_PATTERN]
forbid() {
  local hits
  hits=$(grep -rnE "^[[:space:]]*#[[:space:]]*include[[:space:]]*$2" "$src/$1" |
    grep -vE "${4:-^$}" || true)
  if [ -n "$hits" ]; then
    echo "$1/ includes $3:"
    echo "$hits"
    status=1
  fi
}

forbid platform '"(codesign|install|model|ui|app)/' "a higher layer"
forbid codesign '"(install|model|ui|app)/' "a higher layer"
forbid install '"(model|ui|app)/' "a higher layer"
for layer in install model ui app; do
  forbid "$layer" '"codesign/' "the signature code past its one header" '"codesign/code_signing\.h"'
done
forbid model '"(ui|app)/' "a higher layer"
forbid ui '"app/' "a higher layer"
for layer in platform codesign install; do
  forbid "$layer" '<(Q[A-Za-z]|qt|qcoro|q[a-z]+\.h>)' "Qt"
done
exit $status
