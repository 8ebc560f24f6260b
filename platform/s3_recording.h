// S3 boot-script recording of the writes flagged S3Save.
#pragma once

#include "uefi/protocols.h"

inline constexpr UINT32 S3RecordOk = 0;
inline constexpr UINT32 S3RecordFailed = 7;

// Records one memory write of the given width code (1-4) at a 64-bit MMIO
// address, the value taken from the buffer. Returns S3RecordOk or
// S3RecordFailed; callers never let a failure stop the live write.
UINT32 S3SaveMemWrite(UINT32 Width, UINT64 Address, const VOID *Buffer);

// Closes the events created by the recording set-up.
VOID S3RecordingTeardown();

VOID S3RecordingResetState();
