#!/usr/bin/env bash
# Checks the built plug-in library as a host sees it, and what it holds.
#   check-exports.sh pe     FILE OBJDUMP VERSION MACHINE   (Velmora.dll)
#   check-exports.sh elf    FILE                           (Velmora.so)
#   check-exports.sh probes FILE NM ARCHIVE                (either)
#   check-exports.sh seam   FILE NM OBJDUMP SEAMFILE       (either)
# pe: exactly the four entry points, undecorated, at ordinals 1 to 4 in the
# order of their names; MACHINE (i386 or x86-64) as the file format; only
# system DLLs imported (the C++ runtime and threads are linked in); the
# version resource naming the product, the file and the version; no path to
# close a handle or free a slot that passes the library entry's records.
# elf: the four entry points exported as functions, and nothing else.
# probes: none of the platform functions that the test-probe library ARCHIVE
# defines is in FILE's symbol table (the product never links the probes);
# the table must hold the platform layer's own functions, so a stripped file
# cannot pass unseen.
# seam: FILE (the product) holds no symbol of the fault seam
# (Platform::FaultSeam, defined or imported) and does not load the seam's
# library; SEAMFILE, the test build of the same plug-in, does both, so the
# check is seen to find what it looks for.
set -u
mode=$1 file=$2
fail=0
problem() { echo "FAIL: $*"; fail=1; }

if [ "$mode" = probes ]; then
  nm=$3 archive=$4
  # Functions and data of the platform namespace (mangled "_ZN8Platform...";
  # PE names carry one more leading underscore) that a file defines, one per
  # line: TYPES are nm's letters to take (the product's own are local, as its
  # link hides everything but the entry points).
  platform_names() {
    local types=$1
    shift
    "$nm" "$@" 2>/dev/null | awk -v t="^[$types]$" '$2 ~ t { print $3 }' |
      sed 's/^__Z/_Z/' | grep '^_ZN8Platform' | sort -u
  }
  probes=$(platform_names TDBR --defined-only "$archive")
  inside=$(platform_names TtDdBbRr "$file")
  [ -n "$probes" ] || problem "$archive defines no platform function: nothing to look for"
  grep -q 'LoadLibraryByName' <<<"$inside" ||
    problem "$file has no symbol table with the platform layer in it"
  linked=$(comm -12 <(echo "$probes") <(echo "$inside"))
  [ -z "$linked" ] || problem "test probes linked into $file:"$'\n'"$linked"
  [ $fail -eq 0 ] && echo "OK: $file holds none of the $(wc -l <<<"$probes") probe functions" \
                         "of $(basename "$archive")"
  exit $fail
fi

if [ "$mode" = seam ]; then
  nm=$3 objdump=$4 seamfile=$5
  # Symbols naming the seam's namespace ("FaultSeam" in the mangled name),
  # and the libraries a file loads (PE "DLL Name", ELF NEEDED).
  seam_symbols() { "$nm" -a "$1" 2>/dev/null | grep -c 'FaultSeam'; }
  seam_imports() { "$objdump" -p "$1" 2>/dev/null | grep -Ec '(DLL Name|NEEDED).*VelmoraFaultSeam'; }
  [ "$(seam_symbols "$seamfile")" -gt 0 ] || problem "$seamfile shows no seam symbol: nothing to compare with"
  [ "$(seam_imports "$seamfile")" -gt 0 ] || problem "$seamfile does not load the seam's library"
  [ "$(seam_symbols "$file")" -eq 0 ] ||
    problem "fault seam symbols in $file:"$'\n'"$("$nm" -a "$file" | grep FaultSeam | head)"
  [ "$(seam_imports "$file")" -eq 0 ] || problem "$file loads the seam's library"
  [ $fail -eq 0 ] && echo "OK: $file holds no fault seam ($(seam_symbols "$seamfile") seam symbols" \
                         "in $(basename "$seamfile") of the test build)"
  exit $fail
fi

names=(Command_Plugin Finalize_Plugin GetName_Plugin Init_Plugin)

if [ "$mode" = elf ]; then
  symbols=$(objdump -T "$file") || { echo "FAIL: cannot read $file"; exit 1; }
  for n in "${names[@]}"; do
    # objdump -T: address, flags (F for a function), section, size, name.
    if ! awk -v n="$n" '$NF == n && $0 ~ / DF \.text/ { found = 1 } END { exit !found }' \
         <<<"$symbols"; then
      problem "$n is not exported as a function"
    fi
  done
  others=$(awk '$0 !~ /\*UND\*/ && / D/ { print $NF }' <<<"$symbols" |
           grep -vxF -e Command_Plugin -e Finalize_Plugin -e GetName_Plugin -e Init_Plugin)
  [ -z "$others" ] || problem "exports more than the entry points:"$'\n'"$others"
  [ $fail -eq 0 ] && echo "OK: $file exports exactly ${names[*]}"
  exit $fail
fi

objdump=$3 version=$4 machine=$5
dump=$("$objdump" -p "$file") || { echo "FAIL: cannot read $file"; exit 1; }

# File format: pei-i386 for a PE32 file, pei-x86-64 for PE32+.
format=$(sed -n 's/.*file format \(.*\)$/\1/p' <<<"$dump" | head -1)
[ "$format" = "pei-$machine" ] || problem "file format is '$format', not pei-$machine"

# Exports: "[   i] Name" lines of the name pointer table; ordinal = i + base.
base=$(sed -n 's/^Ordinal Base[[:space:]]*\([0-9]*\).*/\1/p' <<<"$dump" | head -1)
table=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
        sed -n 's/^[[:space:]]*\[[[:space:]]*\([0-9]*\)\][[:space:]]*\(.*\)$/\1 \2/p')
expected=$(for i in 0 1 2 3; do echo "$((i + 1)) ${names[$i]}"; done)
actual=$(while read -r index name; do
           [ -n "$index" ] && echo "$((index + ${base:-0})) $name"
         done <<<"$table")
if [ "$actual" != "$expected" ]; then
  problem "exports (ordinal name) are:"$'\n'"$actual"$'\n'"expected:"$'\n'"$expected"
fi

# Imports: system DLLs only.
allowed='^(KERNEL32|USER32|ADVAPI32|msvcrt|WS2_32|GDI32|SHELL32|OLE32|OLEAUT32|VERSION|ntdll)\.dll$'
while read -r dll; do
  [ -z "$dll" ] && continue
  grep -Eqi "$allowed" <<<"$dll" || problem "imports $dll, which is not a system DLL"
done < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump")

# Release paths: every way the library's code can close a handle or free a
# thread-local-storage slot passes through the library entry's records
# (platform/win32/LibraryEntry.cpp), which close and free by value at unload.
# So no import of NtClose or ZwClose, and no release function's name as data
# in .rdata or .data (a lookup by name would pass the records by).
closers='NtClose ZwClose'
release_names='CloseHandle DuplicateHandle TlsFree NtClose ZwClose'
while read -r name; do
  for closer in $closers; do
    [ "$name" = "$closer" ] && problem "imports $name, which closes handles past the library entry's record"
  done
done < <(sed -n '/^[[:space:]]*DLL Name: /,/^$/p' <<<"$dump" | awk 'NF >= 2 && $1 ~ /^[0-9a-f]+$/ {print $NF}')
while read -r section size offset; do
  data=$(tail -c +$((16#$offset + 1)) "$file" | head -c $((16#$size)) | od -An -v -tx1 | tr -d ' \n')
  for name in $release_names; do
    grep -q "00$(printf '%s' "$name" | od -An -v -tx1 | tr -d ' \n')00" <<<"$data" &&
      problem "$section holds the name $name: a lookup by name would pass the library entry's records"
  done
done < <("$objdump" -h "$file" | awk '$2 == ".rdata" || $2 == ".data" {print $2, $3, $6}')

# Version resource: each key's UTF-16 text directly followed (after its NUL
# and alignment padding) by the value's.
hex=$(od -An -v -tx1 "$file" | tr -d ' \n')
utf16() { printf '%s' "$1" | iconv -f ASCII -t UTF-16LE | od -An -v -tx1 | tr -d ' \n'; }
for pair in "ProductName=Velmora" "OriginalFilename=Velmora.dll" "FileVersion=$version" \
            "ProductVersion=$version"; do
  key=${pair%%=*} value=${pair#*=}
  if ! grep -Eq "$(utf16 "$key")0000(0000)?$(utf16 "$value")0000" <<<"$hex"; then
    problem "version resource has no $key \"$value\""
  fi
done

[ $fail -eq 0 ] && echo "OK: $file: ${names[*]} at ordinals 1-4, pei-$machine, system imports," \
                       "version $version"
exit $fail
