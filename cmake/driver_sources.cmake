# Driver sources: compiled unchanged into the EFI image and the host library.
set(KEL_DRIVER_SOURCES
  core/image_entry.cpp
  core/power_clock_gating.cpp
  core/sequencer.cpp
  features/max_cpl_payload.cpp
  features/max_payload.cpp
  features/max_read_request.cpp
  platform/diagnostics.cpp
  platform/heap.cpp
  platform/hooks.cpp
  platform/pcd.cpp
  platform/pci_scan.cpp
  platform/poll.cpp
  platform/register_access.cpp
  platform/s3_recording.cpp
  platform/smu.cpp
)
