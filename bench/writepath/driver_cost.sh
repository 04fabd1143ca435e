#!/usr/bin/env bash
# The driver's own work per write, in instructions, against a memcpy of the
# same bytes: writepath_bench (release preset, retail kernel) runs under
# callgrind, collecting only inside ReadWriteDispatch and BM_Memcpy. Driver
# instructions are those executed in prnsbp's functions (the symbols of
# libprnsbp.a) plus the copies they call; the simulated kernel, port driver
# and printer below them are counted apart.
#   bash bench/writepath/driver_cost.sh [SIZE...]      default 4096 65536
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build/release
bench=$build/bench/writepath/writepath_bench
if [ ! -x "$bench" ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release --target writepath_bench
fi
sizes=("$@")
[ ${#sizes[@]} -eq 0 ] && sizes=(4096 65536)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
nm -C --defined-only "$build/driver/libprnsbp.a" | awk '$2 ~ /^[tT]$/ { $1 = ""; $2 = ""; sub(/^  /, ""); print }' \
  >"$work/driver.syms"
for size in "${sizes[@]}"; do
  valgrind --tool=callgrind --callgrind-out-file="$work/cg.$size" \
    --toggle-collect='ReadWriteDispatch*' --toggle-collect='*BM_Memcpy*' \
    "$bench" --benchmark_filter="BM_PortWrite/$size\$|BM_Memcpy/$size\$" \
    --benchmark_min_time=0.05 >/dev/null 2>"$work/valgrind.$size" ||
    { cat "$work/valgrind.$size" >&2; exit 1; }
  python3 - "$work/cg.$size" "$work/driver.syms" "$size" <<'EOF'
import re, sys
out, syms, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
driver = set(l.rstrip('\n') for l in open(syms))
names = {}
def name(spec):
    m = re.match(r'\((\d+)\)(?: (.*))?', spec)
    if not m:
        return spec
    if m.group(2) is not None:
        names[m.group(1)] = m.group(2)
    return names.get(m.group(1), m.group(1))
def is_copy(fn):
    return re.search(r'mem(cpy|move)', fn) is not None
fn = cfn = None
pending = 0
self_cost, call_cost, calls = {}, {}, {}
for line in open(out):
    if line.startswith('fn='):
        fn = name(line[3:].strip())
    elif line.startswith('cfn='):
        cfn = name(line[4:].strip())
    elif line.startswith('calls='):
        pending = int(line[6:].split()[0])
    elif line[:1].isdigit() or line[:1] in '+-*':
        parts = line.split()
        cost = int(parts[1]) if len(parts) > 1 else 0
        if pending:
            key = (fn, cfn)
            call_cost[key] = call_cost.get(key, 0) + cost
            calls[key] = calls.get(key, 0) + pending
            pending = 0
        else:
            self_cost[fn] = self_cost.get(fn, 0) + cost
writes = sum(n for (a, b), n in calls.items() if b.startswith('ReadWriteDispatch'))
own = sum(c for f, c in self_cost.items() if f in driver)
copies = sum(c for (a, b), c in call_cost.items() if a in driver and is_copy(b))
ref_cost = sum(c for (a, b), c in call_cost.items() if 'BM_Memcpy' in a and is_copy(b))
ref_calls = sum(n for (a, b), n in calls.items() if 'BM_Memcpy' in a and is_copy(b))
bench_self = self_cost.get('(anonymous namespace)::BM_Memcpy(benchmark::State&)', 0)
everything = sum(self_cost.values()) - bench_self - ref_cost
if writes == 0 or ref_calls == 0:
    sys.exit('driver_cost: no writes or copies were collected')
drv = (own + copies) / writes
ref = ref_cost / ref_calls
print(f'{size}-byte write: driver {drv:,.0f} instructions '
      f'({copies / writes:,.0f} in the copies it calls, {own / writes:,.0f} its own code); '
      f'everything under the dispatch routine {everything / writes:,.0f}; '
      f'memcpy of {size} bytes {ref:,.0f}; driver / memcpy {drv / ref:.2f}')
EOF
done
