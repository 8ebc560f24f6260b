#include "platform/platform_data.h"

// A board build passes -DKEL_PLATFORM_DATA_INITIALIZER='{...}' with its own
// vendor and device IDs. 0xFFF0 and 0xFFF1 are placeholders no company holds.
#ifndef KEL_PLATFORM_DATA_INITIALIZER
#define KEL_PLATFORM_DATA_INITIALIZER                                                              \
  {0xFFF0,                                                                                         \
   {0x1E01, 0x1E02, 0x1E03, 0x1E04, 0x1E05, 0x1E06, 0x1E07, 0x1E08, 0x1E09, 0x1E0A, 0x1E0B, 0x1E0C, \
    0x1E0D, 0x1E0E, 0x1E0F, 0x1E10, 0x1E11, 0x1E12, 0x1E13, 0x1E14, 0x1E15, 0x1E16, 0x1E17, 0x1E18}, \
   0xFFF1,                                                                                         \
   0xA5B1}
#endif

const PlatformDataTable PlatformDataDefaults = KEL_PLATFORM_DATA_INITIALIZER;
PlatformDataTable gPlatformData = KEL_PLATFORM_DATA_INITIALIZER;

VOID PlatformDataReset() { gPlatformData = PlatformDataDefaults; }
