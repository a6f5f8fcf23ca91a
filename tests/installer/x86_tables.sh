#!/usr/bin/env bash
# The x86 installer cannot run here: its tables are read back with msiinfo
# and compared with the x64 one. Exit 77 (skipped) when it was not built.
#   x86_tables.sh <x64 msi> <x86 msi>
set -uo pipefail
x64=$1 x86=$2
[ -f "$x86" ] || { echo "no $x86 (build the x86 tree first): skipped"; exit 77; }
failures=0 count=0
check() {  # check <what> <command...>: the command must succeed
  local what=$1; shift
  count=$((count + 1))
  if ! "$@"; then failures=$((failures + 1)); echo "FAILED: $what"; fi
}
table() { msiinfo export "$1" "$2" | tail -n +4; }
column() { table "$1" "$2" | cut -f"$3" | sort; }

check "x86 package is for Intel" grep -q "Intel;1033" <(msiinfo suminfo "$x86")
check "x64 package is for x64" grep -q "x64;1033" <(msiinfo suminfo "$x64")
# 32-bit registry view: no component carries the 64-bit attribute (256).
check "x86 components are 32-bit" test -z "$(table "$x86" Component | awk -F'\t' '$4 >= 256')"
check "x64 components are 64-bit" test -z "$(table "$x64" Component | awk -F'\t' '$4 < 256')"
check "same file set" diff <(column "$x64" File 3) <(column "$x86" File 3)
check "same components" diff <(column "$x64" Component 1) <(column "$x86" Component 1)
check "x86 installs to Program Files (x86)" grep -q "^ProgramFilesFolder" <(table "$x86" Directory | cut -f2)
# The same registry entries but for the type library's platform key.
check "same registry entries" diff <(table "$x64" Registry | cut -f2- | sed 's/\\win64/\\win32/' | sort) \
                                   <(table "$x86" Registry | cut -f2- | sort)
# Devices are made by the same custom actions and conditions (the sample's
# log file named after the architecture).
arch_free() { sed 's/-x64\.log/-ARCH.log/; s/-x86\.log/-ARCH.log/'; }
check "same device actions" diff <(table "$x64" CustomAction | arch_free | sort) <(table "$x86" CustomAction | arch_free | sort)
check "same sequence" diff <(table "$x64" InstallExecuteSequence | sort) <(table "$x86" InstallExecuteSequence | sort)
check "same options" diff <(table "$x64" Condition) <(table "$x86" Condition)
check "sample device for 32-bit applications" grep -q 'device add ZV_FPrinter --keep .*ZV_FPrinter-x86.log' <(table "$x86" CustomAction)
# The keys both views share: one component of one GUID in both packages.
check "shared keys in one component" diff <(table "$x64" Component | awk -F'\t' '$1 == "SharedClasses" {print $2}') \
                                          <(table "$x86" Component | awk -F'\t' '$1 == "SharedClasses" {print $2}')
check "log folder writable by every user" grep -q "LogDir.*CreateFolder.*;;;BU)" <(table "$x86" MsiLockPermissionsEx)
check "a build of the same version replaces the installed one" grep -qP "\t513\t\tWIX_UPGRADE_DETECTED" <(table "$x86" Upgrade)
echo "$((count - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
