#!/usr/bin/env bash
# Validates kelsim's JSON report against docs/report.schema.json (JSON Schema
# 2020-12, Debian's python3-jsonschema): the reference platform, the example
# platform files, and every capture in ../shared/realdevices as it is run,
# with --power-on and with --no-pass. Prints each report that fails with its
# first errors; fails if any does.
#   scripts/check-report-schema.sh KELSIM [ROOT]
set -euo pipefail
kelsim=$1
cd "${2:-$(dirname "$0")/..}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

runs=("" "docs/examples/"*.json)
for capture in ../shared/realdevices/*.txt; do
  for option in "" "--power-on" "--no-pass"; do
    runs+=("--lspci $capture $option")
  done
done
n=0
for run in "${runs[@]}"; do
  n=$((n + 1))
  # shellcheck disable=SC2086 # a run is its own word list
  "$kelsim" $run -q --json "$work/$n.json" > /dev/null 2>&1 || true
  echo "$run" > "$work/$n.run"
done

# The first Python with jsonschema: the one on PATH, or Debian's own, which
# scripts/setup.sh gives python3-jsonschema.
python=""
for candidate in python3 /usr/bin/python3; do
  if "$candidate" -c "import jsonschema" 2> /dev/null; then
    python=$candidate
    break
  fi
done
if [[ -z $python ]]; then
  echo "check-report-schema: no Python with jsonschema (apt-get install python3-jsonschema)" >&2
  exit 2
fi
"$python" - "$work" "$n" <<'EOF'
import json, sys
import jsonschema

work, count = sys.argv[1], int(sys.argv[2])
validator = jsonschema.Draft202012Validator(json.load(open("docs/report.schema.json")))
failed = 0
for n in range(1, count + 1):
    run = open(f"{work}/{n}.run").read().strip() or "(the reference platform)"
    try:
        report = json.load(open(f"{work}/{n}.json"))
    except (OSError, ValueError) as e:
        print(f"{run}: no JSON report: {e}")
        failed += 1
        continue
    errors = sorted(validator.iter_errors(report), key=lambda e: list(e.absolute_path))
    if errors:
        failed += 1
        print(f"{run}: {len(errors)} schema errors")
        for e in errors[:3]:
            print("   ", "/".join(map(str, e.absolute_path)) or "$", e.message[:160])
if failed:
    sys.exit(f"check-report-schema: {failed} of {count} reports break docs/report.schema.json")
print(f"check-report-schema: {count} reports, each valid against docs/report.schema.json")
EOF
