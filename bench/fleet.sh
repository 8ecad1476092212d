#!/usr/bin/env bash
# kovamem-analyze fleet on a large fleet: the records of the two test
# firmware builds run once each, copied to DEVICES simulated devices until
# there are RECORDS records, then analysed; wall time and peak resident
# memory.   bench/fleet.sh BUILD_DIR [records] [devices]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "$1" && pwd)
records=${2:-100000}
devices=${3:-2000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for fw in 1 2; do
  for dev in 0 1 2 3; do
    KOVAMEM_OPTIONS="report_to=spool:$work/t$fw-$dev;fw=$fw.0;device=template" LD_PRELOAD="$build/libkovamem-preload.so" \
      "$build/tests/ktfleet$fw" $dev >/dev/null
  done
done
python3 - "$work" "$records" "$devices" <<'PY'
import os, re, sys
work, records, devices = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
templates = {}
for d in sorted(os.listdir(work)):
    fw = d[1]
    for f in sorted(os.listdir(os.path.join(work, d))):
        templates.setdefault(fw, []).append(open(os.path.join(work, d, f)).read().strip())
out = os.path.join(work, "fleet")
os.makedirs(out)
per = records // devices
for dev in range(devices):
    fw = "1" if dev % 3 else "2"
    lines = []
    for i in range(per):
        rec = templates[fw][i % len(templates[fw])]
        rec = re.sub(r"device=\S+", "device=dev-%d" % dev, rec)
        rec = re.sub(r"pid=\d+", "pid=%d" % (1000 + i // len(templates[fw])), rec)
        rec = re.sub(r" t=(\d+)", lambda m: " t=%d" % (int(m.group(1)) + 86400 * (i % 30)), rec)
        lines.append(rec)
    with open(os.path.join(out, "dev-%d.log" % dev), "w") as f:
        f.write("\n".join("<26>1 2026-12-09T10:00:00Z dev-%d kovamem 1 x - %s" % (dev, l) for l in lines) + "\n")
PY
for fw in 1 2; do  # the debug files, laid out by build-id
  id=$(readelf -n "$build/tests/ktfleet$fw" | sed -n 's/.*Build ID: //p')
  mkdir -p "$work/debug/.build-id/${id:0:2}"
  cp "$build/tests/ktfleet$fw" "$work/debug/.build-id/${id:0:2}/${id:2}.debug"
done
/usr/bin/time -f "%e s wall, %M KiB peak resident" python3 tools/kovamem-analyze fleet --json --baseline 1.0 \
  --debug-dir "$work/debug" "$work/fleet" > "$work/out.json" 2> "$work/time.txt" || true
tail -1 "$work/time.txt"
python3 -c "import json,sys; d=json.load(open(sys.argv[1])); print(d['records'], 'events,', d['devices'], 'devices,', len(d['groups']), 'groups')" "$work/out.json"
printf "%s, %s cpus, %s\n" "$(uname -m)" "$(nproc)" "$(date -u +%FT%TZ)"
