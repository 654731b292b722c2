#!/usr/bin/env bash
# Fails when an include in src/ points the wrong way. The folders are layers, and each includes
# only itself and the layers below it:
#   app  ->  cli, report  ->  check  ->  check/worker  ->  check/readers
# cli and report include check (the run's vocabulary, and what lies below it), never each other;
# app, the entry, may include anything.
set -euo pipefail
cd "$(dirname "$0")/../src"

allowed() {
  local from=$1 to=$2
  case "$from" in
    app) return 0 ;;
    cli | report) [ "$to" = "$from" ] || [[ $to == check || $to == check/* ]] ;;
    check) [[ $to == check || $to == check/* ]] ;;
    check/worker) [ "$to" = check/worker ] || [ "$to" = check/readers ] ;;
    check/readers) [ "$to" = check/readers ] ;;
    *) return 1 ;;
  esac
}

wrong=0
while IFS=' ' read -r file included; do
  if ! allowed "$(dirname "$file")" "$(dirname "$included")"; then
    echo "src/$file includes \"$included\", which its layer may not include" >&2
    wrong=1
  fi
done < <(grep -r -o '^#include "[^"]*"' --include='*.h' --include='*.cpp' . |
           sed -E 's|^\./([^:]*):#include "([^"]*)"$|\1 \2|')
exit $wrong
