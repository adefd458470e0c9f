#!/usr/bin/env bash
# bench/store.sh [REG_TOOL [OTHER_REG_TOOL]]: how long the configuration store takes to read and
# write as it grows. For stores of 1, 2, 4 and 10 MB (one key with many values, as an import of a
# large export makes it, plus many small keys), it times with each brisklane-reg given:
#   import  - the export imported into an empty store (the file parsed, applied, written once)
#   query   - one value of the imported store read back (the store read whole at start)
#   add     - one value set (read, change, one atomic rewrite)
# then, for 16,000 and 100,000 values and for 10,000 keys, what deletions cost next to additions:
#   values  - an import that sets N values under one key, then one that deletes them ("name"=-)
#   keys    - an import of N keys, then one that deletes and makes each again ([-key], [key])
# With two tools (another build's, to compare) each figure is measured with both in one run.
# Not part of ./test.sh; its files are made in a temporary folder and removed at exit.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
tools=("${1:-$top/build/bench-relay/src/app/brisklane-reg}")
[ -n "${2:-}" ] && tools+=("$2")
if [ ! -x "${tools[0]}" ]; then
  cmake -S "$top" -B "$top/build/bench-relay" -DCMAKE_BUILD_TYPE=Release -DBKL_TESTS=OFF >/dev/null
  cmake --build "$top/build/bench-relay" -j2 --target brisklane-reg >/dev/null
fi

tmp=$(mktemp -d /tmp/brisklane-store.XXXXXX)
trap 'rm -rf "$tmp"' EXIT

# An export of about $1 MB: short values under one key (half the bytes: many values in one key is
# what a quadratic read suffers from most), and keys of ten values.
make_export() {
  python3 - "$1" "$2" <<'EOF'
import sys
megabytes, path = int(sys.argv[1]), sys.argv[2]
half = megabytes * 1024 * 1024 // 2
with open(path, "w", newline="\r\n") as f:
    f.write("Windows Registry Editor Version 5.00\n\n")
    f.write("[HKEY_CURRENT_USER\\Software\\Tandry\\Brisklane 4\\Big]\n")
    for i in range(half // 40):
        f.write('"value.%06d"="%s"\n' % (i, "x" * 22))
    for k in range(half // 400):
        f.write("\n[HKEY_CURRENT_USER\\Software\\Tandry\\Brisklane 4\\Keys\\K%06d]\n" % k)
        for v in range(10):
            f.write('"v%d"=dword:%08x\n' % (v, k))
EOF
}

seconds() {  # command...: wall seconds of one run, three decimals
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}

for i in "${!tools[@]}"; do echo "tool $((i + 1)): ${tools[$i]}"; done
printf '%-6s %-8s' "MB" "step"
for i in "${!tools[@]}"; do printf ' %10s' "tool $((i + 1))"; done
printf '   (seconds)\n'
for mb in 1 2 4 10; do
  make_export "$mb" "$tmp/store-$mb.reg"
  declare -A figures=()
  for i in "${!tools[@]}"; do
    dir="$tmp/conf-$mb-$i"
    mkdir -p "$dir"
    export BRISKLANE_CONFIG_DIR="$dir"
    figures[import,$i]=$(seconds "${tools[$i]}" import "$tmp/store-$mb.reg")
    figures[query,$i]=$(seconds "${tools[$i]}" query 'Software\Tandry\Brisklane 4\Big' /v value.000001)
    figures[add,$i]=$(seconds "${tools[$i]}" add 'Software\Tandry\Brisklane 4' /v tcp.max.connections \
      /t REG_DWORD /d 100)
    unset BRISKLANE_CONFIG_DIR
    rm -rf "$dir"
  done
  for step in import query add; do
    printf '%-6s %-8s' "$mb" "$step"
    for i in "${!tools[@]}"; do printf ' %10s' "${figures[$step,$i]}"; done
    printf '\n'
  done
  unset figures
done

# Deletions against additions: the same number of records, applied one after the other.
make_values() {  # count path delete
  python3 - "$1" "$2" "$3" <<'EOF'
import sys
count, path, delete = int(sys.argv[1]), sys.argv[2], sys.argv[3] == "1"
with open(path, "w") as f:
    f.write("Windows Registry Editor Version 5.00\n\n")
    f.write("[HKEY_CURRENT_USER\\Software\\Tandry\\Brisklane 4\\Many]\n")
    for i in range(count):
        f.write('"value.%06d"=%s\n' % (i, "-" if delete else "dword:%08x" % i))
EOF
}
make_keys() {  # count path pairs
  python3 - "$1" "$2" "$3" <<'EOF'
import sys
count, path, pairs = int(sys.argv[1]), sys.argv[2], sys.argv[3] == "1"
base = "HKEY_CURRENT_USER\\Software\\Tandry\\Brisklane 4\\Keys"
with open(path, "w") as f:
    f.write("Windows Registry Editor Version 5.00\n\n")
    for k in range(count):
        if pairs:
            f.write("[-%s\\K%06d]\n" % (base, k))
        f.write('[%s\\K%06d]\n"v"=dword:%08x\n\n' % (base, k, k))
EOF
}

printf '\n%-8s %-8s %-9s' "count" "kind" "step"
for i in "${!tools[@]}"; do printf ' %10s' "tool $((i + 1))"; done
printf '   (seconds)\n'
for run in "16000 values" "100000 values" "10000 keys"; do
  read -r count kind <<<"$run"
  make_$kind "$count" "$tmp/add.reg" 0
  make_$kind "$count" "$tmp/delete.reg" 1
  declare -A figures=()
  for i in "${!tools[@]}"; do
    dir="$tmp/del-$i"
    mkdir -p "$dir"
    export BRISKLANE_CONFIG_DIR="$dir"
    figures[add,$i]=$(seconds "${tools[$i]}" import "$tmp/add.reg")
    figures[delete,$i]=$(seconds "${tools[$i]}" import "$tmp/delete.reg")
    unset BRISKLANE_CONFIG_DIR
    rm -rf "$dir"
  done
  for step in add delete; do
    label=$step
    [ "$kind" = keys ] && [ "$step" = delete ] && label=del+make
    printf '%-8s %-8s %-9s' "$count" "$kind" "$label"
    for i in "${!tools[@]}"; do printf ' %10s' "${figures[$step,$i]}"; done
    printf '\n'
  done
  unset figures
done
