// The debug-print receiver's formatter against the Microsoft x64 argument
// list the driver passes.
#include <gtest/gtest.h>

#include "sim/edk2_format.h"

namespace {

// Formats at once and, from the same arguments, keeps the line to format
// later as the log does; both must spell the same line.
std::string EFIAPI Format(const char *format, ...) {
  VA_LIST args;
  VA_START(args, format);
  std::string now = sim::FormatEdk2(format, args);
  VA_END(args);
  std::vector<uint64_t> record{0xFEED}; // a record is found at any word of its log
  VA_START(args, format);
  sim::KeepEdk2Arguments(sim::Edk2ArgumentKinds(format), args, record);
  VA_END(args);
  EXPECT_EQ(sim::FormatEdk2Kept(format, record.data() + 1), now) << format;
  return now;
}

TEST(Edk2FormatTest, DirectivesTheDriverUses) {
  EXPECT_EQ(Format("%a-%a", "Enable", "x"), "Enable-x");
  EXPECT_EQ(Format("%d %d", 5, -5), "5 -5");
  EXPECT_EQ(Format("%x %X", 0xabcU, 0xabcU), "abc ABC");
  EXPECT_EQ(Format("%02d:%02d", 3, 12), "03:12");
  EXPECT_EQ(Format("%02X %03X", 0xA, 0x18C), "0A 18C");
  EXPECT_EQ(Format("%08x", 0x1234U), "00001234");
  EXPECT_EQ(Format("0x%x", 0xFFFFFFFFU), "0xffffffff");
  EXPECT_EQ(Format("%lx %ld", 0x123456789ULL, -1LL), "123456789 -1");
  EXPECT_EQ(Format("100%%"), "100%");
}

TEST(Edk2FormatTest, PlainIntegerDirectivesTakeThirtyTwoBits) {
  // Each argument fills an 8-byte slot; without 'l' only the low half counts.
  EXPECT_EQ(Format("%x", 0xDEADBEEF00000011ULL), "11");
  EXPECT_EQ(Format("%d", 0x00000001FFFFFFFFULL), "-1");
}

TEST(Edk2FormatTest, WidthFlagsAndOtherDirectives) {
  EXPECT_EQ(Format("[%5d][%-5d]", 42, 42), "[   42][42   ]");
  EXPECT_EQ(Format("%4X", 0xAU), "000A");
  EXPECT_EQ(Format("%,d", 1234567), "1,234,567");
  EXPECT_EQ(Format("%c%c", 'o', 'k'), "ok");
  EXPECT_EQ(Format("%s", u"wide"), "wide");
  EXPECT_EQ(Format("%r", EFI_NOT_FOUND), "Not Found");
  EXPECT_EQ(Format("%r", EFI_SUCCESS), "Success");
  const EFI_GUID g = {0x669ED5B1, 0x49A3, 0x4C59, {0x9D, 0x2D, 0x04, 0x32, 0xAD, 0x6C, 0xDB, 0x61}};
  EXPECT_EQ(Format("%g", &g), "669ed5b1-49a3-4c59-9d2d-0432ad6cdb61");
  EXPECT_EQ(Format("%a", static_cast<const char *>(nullptr)), "<null string>");
  EXPECT_EQ(Format("%s|%g", static_cast<const char16_t *>(nullptr), nullptr), "<null string>|<null guid>");
  EXPECT_EQ(Format("[%*d][%.*a][%a]", 4, 7, 2, "abc", "a string of more than one word"),
            "[   7][ab][a string of more than one word]");
}

} // namespace
