#!/usr/bin/env bash
# Fails when a layer of src/ includes one above it (the arrows point down only:
# app -> ui -> model -> install -> codesign -> platform), when the layers above codesign/
# reach into it past code_signing.h, or when platform/, codesign/ or install/ include Qt.
# An include is judged by the file it names, found as the compiler finds it: a quoted name
# beside the including file first, then below src/ (the one include folder), so that
# <codesign/x.h> and "../codesign/x.h" are caught as well as "codesign/x.h".
#   layering_test.sh SOURCE_DIR
set -euo pipefail
src=$(realpath "$1/src")
layers=(platform codesign install model ui app)
status=0

rank() {
  local i
  for i in "${!layers[@]}"; do
    [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }
  done
  echo -1
}

# The file below src/ that an include names, relative to src/; nothing for one outside it.
resolve() {
  local file=$1 delimiter=$2 name=$3 candidate
  if [ "$delimiter" = '"' ]; then
    candidate=$(realpath -m "$(dirname "$file")/$name")
    [ -f "$candidate" ] && [[ "$candidate" == "$src"/* ]] && { echo "${candidate#"$src"/}"; return; }
  fi
  candidate=$(realpath -m "$src/$name")
  [ -f "$candidate" ] && [[ "$candidate" == "$src"/* ]] && echo "${candidate#"$src"/}"
  return 0
}

violation() {
  echo "$1"
  status=1
}

for layer in "${layers[@]}"; do
  own=$(rank "$layer")
  while IFS= read -r hit; do
    file=${hit%%:*}
    rest=${hit#*:}
    line=${rest%%:*}
    text=${rest#*:}
    [[ "$text" =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*([\"\<])([^\"\>]+)[\"\>] ]] || continue
    delimiter=${BASH_REMATCH[1]}
    name=${BASH_REMATCH[2]}
    where="$file:$line: $text"
    if [[ "$layer" =~ ^(platform|codesign|install)$ ]] &&
      [[ "$name" =~ ^(Q[A-Za-z]|qt|qcoro|q[a-z]+\.h$) ]]; then
      violation "$layer/ includes Qt: $where"
    fi
    target=$(resolve "$file" "$delimiter" "$name")
    [ -n "$target" ] || continue
    other=${target%%/*}
    theirs=$(rank "$other")
    if [ "$theirs" -gt "$own" ]; then
      violation "$layer/ includes a higher layer ($target): $where"
    elif [ "$other" = codesign ] && [ "$own" -gt "$(rank codesign)" ] &&
      [ "$target" != codesign/code_signing.h ]; then
      violation "$layer/ includes the signature code past its one header ($target): $where"
    fi
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include' "$src/$layer" || true)
done
exit $status
