# Driver sources: compiled unchanged into the EFI image and the host library.
set(KEL_DRIVER_SOURCES
  core/image_entry.cpp
  core/sequencer.cpp
  core/power_clock_gating.cpp
  platform/diagnostics.cpp
  platform/register_access.cpp
  platform/s3_recording.cpp
)
