#!/usr/bin/env bash
# Runs the tool as a new user would: the self-test, then a sample secret sealed and opened again.
# The arguments are the command that runs the tool:
#   bash tools/demo.sh build/native/velkor-dpapi
#   bash tools/demo.sh wine build/windows/velkor-dpapi.exe
# Its status is the tool's on a failed step, 1 when the secret does not come back, else 0.
set -euo pipefail
if [ "$#" -eq 0 ]; then
  echo "usage: tools/demo.sh COMMAND [ARGUMENT...]" >&2
  exit 2
fi

secret=76656c6b6f72
"$@" selftest
blob=$(printf '%s\n' "$secret" | "$@" protect)
digits=$(printf '%s' "$blob" | tr -cd '0-9a-f') # not the carriage return of a Windows line
echo "sealed $secret into a blob of ${#digits} hex digits; opened again:"
opened=$(printf '%s\n' "$blob" | "$@" unprotect)
opened=${opened%$'\r'}
echo "$opened"
if [ "$opened" != "$secret" ]; then
  echo "demo: the blob opened as $opened, not $secret" >&2
  exit 1
fi
