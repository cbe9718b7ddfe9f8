#!/usr/bin/env bash
# The signing tool as a maker uses it: make an identity, sign a bundle, verify it against
# the installer's requirement with the identity's root as anchor, then see a check that
# OpenSSL cannot make, a tampered copy and a requirement that does not parse refused with
# what failed. (A root that is not trusted: release_refuses_an_untrusted_payload.)
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

# The identity's folder is made when missing, with its parents.
"$tool" make-identity --out "$work/identity/new" --ou Q7XK4M2LD8 > /dev/null
[ -s "$work/identity/new/leaf-key.pem" ] || { echo "make-identity made no folder"; exit 1; }
"$tool" make-identity --out "$work" --ou Q7XK4M2LD8
signed_on=$(date -u +%Y-%m-%d)
"$tool" sign --key "$work/leaf-key.pem" --certs "$work/chain.pem" "$bundle"

# verify ARGUMENTS... must fail, saying what the pattern matches.
refused() {
  local pattern=$1 out
  shift
  if out=$("$tool" verify "$@"); then echo "verified: $*"; exit 1; fi
  [[ "$out" == $pattern ]] || { echo "unexpected: $out"; exit 1; }
}

anchored=(--anchor "$work/root.pem" --requirement "$requirement")
out=$("$tool" verify "${anchored[@]}" "$bundle")
[ "$out" = "valid" ] || { echo "expected valid, got: $out"; exit 1; }

# OpenSSL with its base provider alone offers no digest: the check cannot run, and says so
# with OpenSSL's reason, as a refusal and not a signal.
cat > "$work/base-only.cnf" <<'CNF'
openssl_conf = openssl_init
[openssl_init]
providers = provider_sect
[provider_sect]
base = base_sect
[base_sect]
activate = 1
CNF
code=0
out=$(OPENSSL_CONF="$work/base-only.cnf" "$tool" verify "${anchored[@]}" "$bundle" 2>&1) || code=$?
if (( code == 0 || code >= 128 )); then echo "without digests, exit $code: $out"; exit 1; fi
[[ "$out" == *"internal error"*"SHA256"*"unsupported"* ]] || { echo "unexpected: $out"; exit 1; }
echo "changed" >> "$bundle/Contents/Resources/data.txt"
refused '*sealed resource modified*Resources/data.txt*' "${anchored[@]}" "$bundle"
refused '*syntax error at position*' --requirement 'identifier "x" and' "$bundle"
# info tells the signing time the signature claims, and whether its signer asked for
# expiry to be enforced.
info=$("$tool" info "$bundle")
# The day the signature was made, whichever side of midnight the signing fell.
[[ "$info" == *"signing time: $signed_on"T*"not a secure timestamp"* ||
   "$info" == *"signing time: $(date -u +%Y-%m-%d)T"*"not a secure timestamp"* ]] ||
  { echo "info without the signing time: $info"; exit 1; }
[[ "$info" == *"expiry enforced: no"* ]] || { echo "info: $info"; exit 1; }
"$tool" sign --key "$work/leaf-key.pem" --certs "$work/chain.pem" --enforce-expiry "$bundle"
[[ "$("$tool" info "$bundle")" == *"expiry enforced: yes"* ]] ||
  { echo "--enforce-expiry not recorded"; exit 1; }
"$tool" verify "${anchored[@]}" "$bundle" > /dev/null
# info reads the signature as the verifier does: of a bundle folder, never through a link,
# only from regular files, going by the CodeDirectory of the strongest hash type; what it
# cannot read fails it at once, naming the file.
info_fails() {
  local pattern=$1 out
  if out=$(timeout 60 "$tool" info "$2" 2>&1); then echo "info passed: $out"; exit 1; fi
  [[ "$out" == $pattern ]] || { echo "info, unexpected: $out"; exit 1; }
}
info_fails '*'"$work/Nowhere.app"'*' "$work/Nowhere.app"
hostile=$work/Hostile.app
cp -R "$bundle" "$hostile"
signature=$hostile/Contents/_CodeSignature
rm "$signature/CodeSignature"
ln -s "$bundle/Contents/_CodeSignature/CodeSignature" "$signature/CodeSignature"
info_fails '*_CodeSignature/CodeSignature*' "$hostile"
rm "$signature/CodeSignature"
mkfifo "$signature/CodeSignature"
info_fails '*_CodeSignature/CodeSignature*' "$hostile"
rm "$signature/CodeSignature"
printf '0\202\020' > "$signature/CodeSignature"
info_fails '*_CodeSignature/CodeSignature*not a detached SignedData*' "$hostile"
rm -r "$signature"
ln -s "$bundle/Contents/_CodeSignature" "$signature"
info_fails '*_CodeSignature*' "$hostile"
rm "$signature"
cp -R "$bundle/Contents/_CodeSignature" "$signature"
printf 'xx' > "$signature/CodeDirectory"
info_fails '*_CodeSignature/CodeDirectory*' "$hostile"
"$tool" sign --key "$work/leaf-key.pem" --certs "$work/chain.pem" --sha1-primary "$bundle" > /dev/null
# The expires flag set in the SHA-256 alternate alone, which a check goes by.
printf '\0\0\4\0' | dd of="$bundle/Contents/_CodeSignature/CodeRequirements-1" bs=1 seek=12 \
  conv=notrunc status=none
[[ "$("$tool" info "$bundle")" == *"expiry enforced: yes"* ]] ||
  { echo "info does not go by the strongest CodeDirectory"; exit 1; }
[[ "$("$tool" 2>&1)" == *"validity periods"*"--enforce-expiry"* ]] ||
  { echo "the help does not say how expiry is judged"; exit 1; }
echo "signing tool: all checks passed"
