#!/usr/bin/env bash
# The drawing runtime's library as this build made it calls nothing: no
# undefined symbol in its objects but a sanitizer's, whose checks are the
# sanitizer's, not the runtime's.
#
#   no_calls.sh LIBRARY
set -euo pipefail
calls=$(nm -u "$1" | awk 'NF { print $NF }' | grep -v ':$' |
    grep -vE '^_*(asan|ubsan|sanitizer|sancov)_' | sort -u || true)
if [ -n "$calls" ]; then
    echo "the drawing runtime calls $(echo $calls)" >&2
    exit 1
fi
echo "the drawing runtime calls nothing"
