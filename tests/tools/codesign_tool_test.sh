#!/usr/bin/env bash
# The signing tool as a maker uses it: make an identity, sign a bundle, verify it against
# the installer's requirement with the identity's root as anchor, then see a tampered copy,
# an untrusted one and a requirement that does not parse refused with what failed.
set -euo pipefail
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

requirement='anchor apple generic and identifier "com.vorlak.tessuro.psvalidation" and certificate leaf[subject.OU] = "Q7XK4M2LD8"'
bundle=$work/Tessuro.app
mkdir -p "$bundle/Contents/MacOS" "$bundle/Contents/Resources"
printf '#!/bin/sh\necho Tessuro\n' > "$bundle/Contents/MacOS/Tessuro"
chmod 755 "$bundle/Contents/MacOS/Tessuro"
echo "resource" > "$bundle/Contents/Resources/data.txt"
cat > "$bundle/Contents/Info.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>com.vorlak.tessuro.psvalidation</string>
<key>CFBundleExecutable</key><string>Tessuro</string>
</dict></plist>
PLIST

mkdir "$work/identity"
"$tool" make-identity --out "$work/identity" --ou Q7XK4M2LD8
"$tool" sign --key "$work/identity/leaf-key.pem" --certs "$work/identity/chain.pem" "$bundle"

out=$("$tool" verify --anchor "$work/identity/root.pem" --requirement "$requirement" "$bundle")
[ "$out" = "valid" ] || { echo "expected valid, got: $out"; exit 1; }

if out=$("$tool" verify --requirement "$requirement" "$bundle"); then
  echo "verified without trusting the root: $out"; exit 1
fi
case "$out" in *"not trusted"*) ;; *) echo "unexpected: $out"; exit 1 ;; esac

echo "changed" >> "$bundle/Contents/Resources/data.txt"
if out=$("$tool" verify --anchor "$work/identity/root.pem" --requirement "$requirement" "$bundle"); then
  echo "a tampered bundle verified"; exit 1
fi
case "$out" in *"sealed resource modified"*"Resources/data.txt"*) ;; *) echo "unexpected: $out"; exit 1 ;; esac

if out=$("$tool" verify --requirement 'identifier "x" and' "$bundle"); then exit 1; fi
case "$out" in *"syntax error at position"*) ;; *) echo "unexpected: $out"; exit 1 ;; esac

echo "signing tool: all checks passed"
