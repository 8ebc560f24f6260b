#!/usr/bin/env bash
# Applies single-line changes ("mutants") to the driver one at a time,
# rebuilds, runs the whole suite, and reports which changes the tests catch
# ("killed") and which they let through ("SURVIVED"). The tree is restored
# after each mutant. Exit status: 0 when every mutant builds and is killed.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh >/dev/null

# Triples: file, perl substitution (applied with -0pi, so it may span lines),
# and what the change breaks. Each mutant builds: a change that does not
# compile tells nothing about the tests.
mutants=(
  "platform/register_access.cpp"
    's/(  if \(IsRecordedWidth\(Width\)\) \{\n    RecordForS3\(Address, Width, Buffer\);\n  \}\n)(  PciWriteLive\(Address, Width, Buffer\);\n)/$2$1/'
    "S3 record after the live write"
  "driver/sequencer.cpp"
    's/(    PcieMaxPayloadInterface,[^\n]*\n)(    PcieMaxCplPayloadInterface,[^\n]*\n)/$2$1/'
    "sequencer steps 5 and 6 swapped"
  "platform/register_access.cpp"
    's/return Flag == NbioS3Save \?/return Flag != 0 ?/'
    "NBIO flag tested as non-zero"
  "platform/pcd.cpp"
    's/  if \(gPcd == nullptr\) \{/  if (true) {/'
    "PCD protocol located on every call"
  "platform/s3_recording.cpp"
    's/    FatalStop\(FatalMmioBaseDisabled\);/    (void)FatalMmioBaseDisabled;/'
    "fatal stop 0xA0867 removed"
  "features/aspm.cpp"
    's/  PcieAspmSetDeviceFunctions\(Downstream, 0\);\n//'
    "ASPM: downstream not turned off first"
  "features/l1_substates.cpp"
    's/(  PcieEnableL1SS\(Upstream, Enables\);\n)(  PcieEnableL1SS\(Downstream, Enables\);\n)/$2$1/'
    "L1 substates: downstream end enabled first"
  "features/clock_pm.cpp"
    's/if \(Number > PcieClkReqSignals\)/if (Number >= PcieClkReqSignals)/'
    "CLKREQB_4 refused"
  "features/slot_power_limit.cpp"
    's/(  if \(Engine->SlotPowerLimitValue != 0\) \{\n    Value = [^\n]*\n  \}\n)(  if \(PcdGetBool[^\n]*\n[^\n]*\n[^\n]*\n  \}\n)/$2$1/'
    "slot power: x1 override before the platform value"
  "ras/ras_control.cpp"
    's/return PackageType != PackageWithUnit13 \&\&/return PackageType == PackageWithUnit13 \&\&/'
    "RAS: unit 13 rows kept for the wrong package"
  "features/common_clock.cpp"
    's/  if \(DownSlot != 1 \|\| UpSlot != 1\) \{/  if (DownSlot != 1 \&\& UpSlot != 1) {/'
    "common clock with one end on its own clock"
  "platform/pci_scan.cpp"
    's/  if \(!PciBusSetHas\(Set, Secondary\)\) \{/  if (!PciBusSetHas(Set, Secondary) || true) {/'
    "scan work unbounded"
  "ras/aer_service.cpp"
    's/EnableBus\(Secondary, Walked\) == 0\)/(EnableBus(Secondary, Walked) == 0 \&\& false))/'
    "ECRC: bridge enabled with nothing below"
  "ras/aer_service.cpp"
    's/  PciBusSetAdd\(Walked, Secondary\);\n//'
    "ECRC: buses walked again from every bridge naming them"
  "ras/aer_service.cpp"
    's/  if \(Secondary <= PciBus\(Bridge\) \|\|/  if (Secondary == 0 ||/'
    "ECRC: only secondary bus 0 treated as leading up"
  "ras/aer_service.cpp"
    's/(      if \(PciHeader::MultiFunction::Get\(PciReadRegister\(Address, PciHeader::HeaderType\)\)) == 0\) \{/$1 != 2) {/'
    "ECRC: a device's walk stops after its first present function"
  "ras/aer_service.cpp"
    's/  if \(Request == nullptr\) \{\n    return EFI_INVALID_PARAMETER;\n  \}\n//'
    "AER service: a missing request dereferenced"
  "features/clock_pm.cpp"
    's/    if \(Use->Core0Count < PcieClkReqSignals\) \{/    if (true) {/'
    "CLKREQ# map: a sixth core-0 port overwrites a signal"
  "features/clock_pm.cpp"
    's/      Entry.AssignedPort = PcieEnginePortId\(Engine\);/      Entry.AssignedPort = PcieEnginePortId(Engine) \& 3;/'
    "CLKREQ# map: port numbers above 4 not placed"
  "features/clock_pm.cpp"
    's/  if \(Number > PcieClkReqSignals\) \{/  if (Number > 15) {/'
    "CLKREQ numbers 6-15 taken as signals"
  "features/aspm.cpp"
    's/inline constexpr UINT32 Fix1AndMask = 0xFFF7F7FF;/inline constexpr UINT32 Fix1AndMask = 0xFFF7FFFF;/'
    "device fix 1 keeps bit 11"
  "features/aspm.cpp"
    's/Fix1Register, AccessWidth32 \| S3Save,/Fix1Register, AccessWidth32,/'
    "device fix 1 not recorded for S3"
  "ras/aer_config.cpp"
    's/\{13, "  AdvisoryNonFatalErrorMask/{12, "  AdvisoryNonFatalErrorMask/'
    "AER dump: a line shows the wrong bit"
  "features/l1_substates.cpp"
    's/(PcieL1SSSetLink\(Scan->UpstreamAddress, Address, Scan\);\n    return )PciScanSkipDevice;/${1}PciScanContinue;/'
    "L1 substates set on every function of a multi-function endpoint"
  "features/ltr.cpp"
    's/  if \(PcieIsPortType\(PcieGetPortType\(Function\)\)\) \{/  if (PcieIsDownstreamPortType(PcieGetPortType(Function))) {/'
    "LTR: a switch upstream port's link not timed"
  "features/ltr.cpp"
    's/  TPowerOn = LegalTPowerOn\(TPowerOn\);/  (void)LegalTPowerOn(TPowerOn);/'
    "LTR: a reserved T_POWER_ON scale written to Control 2"
  "features/sris.cpp"
    's/\? CapRead\(Cap, PcieCap::LinkCapabilities2\)/? PciRead32(Address | SkpOsVectorsRegister)/'
    "SRIS: the partner's vectors read at 0x84"
  "platform/register_access.cpp"
    's/ExtendedCapabilityExtent\(CapabilityId\) > PcieExtCap::End\)/ExtendedCapabilityExtent(CapabilityId) > 2 * PcieExtCap::End)/'
    "an extended capability reaching past 0xFFF used"
  "platform/register_access.cpp"
    's/if \(Pointer \+ UINT32\{PcieCap::Extent\} > StandardSpaceEnd\)/if (false)/'
    "a PCI Express capability reaching past 0xFF used"
  "features/ltr.cpp"
    's/if \(TimePort < TimeBelow\) \{/if (TimePort <= TimeBelow) {/'
    "LTR: a T_POWER_ON tie takes the device's encoding"
  "features/sris.cpp"
    's/    Engine->PortAspm &= 0x0F;\n//'
    "SRIS keeps the ASPM request"
  "features/l1_exit_latency.cpp"
    's/PcieStrapL1ExitLatencyBase\);/PcieStrapAspmBase);/'
    "L1 exit latency written to the ASPM strap"
  "ras/aer_config.cpp"
    's/ \&\& I < AerRowCount; \+\+I\)/; ++I)/'
    "AER rows indexed past the table"
)

# The original goes back with a fresh modification time: restored with its
# old time it would look older than the mutant's object, never be rebuilt,
# and every later mutant would run with this one still compiled in.
restore() {
  mv "$1.orig" "$1"
  touch "$1"
}

killed=0
survived=0
notApplied=0
invalid=0
for ((n = 0; n < ${#mutants[@]}; n += 3)); do
  file="${mutants[n]}"
  expr="${mutants[n + 1]}"
  what="${mutants[n + 2]}"
  cp "$file" "$file.orig"
  perl -0pi -e "$expr" "$file"
  if cmp -s "$file" "$file.orig"; then
    echo "NOT APPLIED  $what ($file)"
    notApplied=$((notApplied + 1))
    restore "$file"
    continue
  fi
  if ! cmake --build build >/dev/null 2>&1; then
    result="INVALID (does not build)"
  elif ctest --test-dir build -j"$(nproc)" >/dev/null 2>&1; then
    result="SURVIVED"
  else
    result="killed"
  fi
  restore "$file"
  case $result in
    SURVIVED) survived=$((survived + 1)) ;;
    INVALID*) invalid=$((invalid + 1)) ;;
    *) killed=$((killed + 1)) ;;
  esac
  printf '%-24s %s (%s)\n' "$result" "$what" "$file"
done
cmake --build build >/dev/null 2>&1
echo "mutants: $((${#mutants[@]} / 3)), killed $killed, survived $survived, invalid $invalid, not applied $notApplied"
[[ $survived -eq 0 && $invalid -eq 0 && $notApplied -eq 0 ]]
