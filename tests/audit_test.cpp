// The audit's rules: each on a platform that triggers it and on one just on
// the other side of it, starting from a link with nothing to report.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "sim/catalogue.h"
#include "sim/config_space.h"
#include "tools/audit/audit.h"

namespace {

using sim::Bdf;
namespace cat = sim::catalogue;

constexpr uint32_t kPort = Bdf(0, 1, 1);
constexpr uint32_t kDevice = Bdf(1, 0, 0);
constexpr uint32_t kSecondPort = Bdf(0, 1, 2);

// Offsets in the PCI Express capability.
constexpr uint16_t kDevCap = 0x04, kDevCtl = 0x08, kLinkCap = 0x0C, kLinkCtl = 0x10,
                   kLinkSta = 0x12, kDevCtl2 = 0x28;

void SetBits(sim::ConfigFunction &f, uint16_t offset, uint32_t mask, uint32_t value) {
  f.Poke(offset, 4, (f.Peek(offset, 4) & ~mask) | (value & mask));
}

// A root port and an NVMe SSD below it, programmed consistently: the same
// payload, ASPM L1 on both ends, L1.1 and L1.2 with matching timing and a
// threshold above the wake time, LTR on both, common clock on both.
struct Platform {
  sim::ConfigSpace config;
  audit::Input input;

  Platform() {
    config.Add(kPort, cat::RootPort(1, 4).Build());
    config.Add(kDevice, cat::NvmeSsd().Build());
    for (const uint32_t bdf : {kPort, kDevice}) {
      Pcie(bdf, kDevCtl, 0xE0, 0x20);           // Max_Payload_Size 256 B
      Pcie(bdf, kDevCtl, 0x7000, 0x1000);       // Max_Read_Request_Size 256 B
      Pcie(bdf, kLinkCtl, 0x3, 0x2);            // ASPM L1
      Pcie(bdf, kLinkCtl, 0x40, 0x40);          // Common Clock Configuration
      Pcie(bdf, kDevCtl2, 0x400, 0x400);        // LTR Mechanism Enable
      L1ss(bdf, 0x8, 0xE3FFFF0F, 0x4064280C);   // ASPM L1.1 + L1.2, CMRT 40 us, 102400 ns
      L1ss(bdf, 0xC, 0xFB, 0x0029);             // T_POWER_ON 5 x 10 us
    }
    input.config = &config;
    input.rootPorts[kPort] = {.silicon = 0, .clkReq = true, .completionPayload = 512};
  }
  sim::ConfigFunction &F(uint32_t bdf) { return *config.Find(bdf); }
  void Pcie(uint32_t bdf, uint16_t offset, uint32_t mask, uint32_t value) {
    SetBits(F(bdf), static_cast<uint16_t>(F(bdf).pcieCap + offset), mask, value);
  }
  void L1ss(uint32_t bdf, uint16_t offset, uint32_t mask, uint32_t value) {
    SetBits(F(bdf), static_cast<uint16_t>(sim::FindExtendedCapability(F(bdf), 0x1E) + offset), mask, value);
  }
  void Aer(uint32_t bdf, uint16_t offset, uint32_t mask, uint32_t value) {
    SetBits(F(bdf), static_cast<uint16_t>(sim::FindExtendedCapability(F(bdf), 0x01) + offset), mask, value);
  }
  std::vector<audit::Finding> Run() const { return audit::Run(input); }
};

std::vector<std::string> Ids(const std::vector<audit::Finding> &findings) {
  std::vector<std::string> ids;
  for (const audit::Finding &f : findings) {
    ids.push_back(f.id);
  }
  return ids;
}

bool Has(const std::vector<audit::Finding> &findings, const std::string &id) {
  return std::any_of(findings.begin(), findings.end(),
                     [&](const audit::Finding &f) { return f.id == id; });
}

TEST(AuditTest, VerifyThatAConsistentLinkHasNothingToReport) {
  Platform p;
  EXPECT_EQ(Ids(p.Run()), std::vector<std::string>{});
}

struct RuleCase {
  const char *id;
  std::function<void(Platform &)> trigger;
  std::function<void(Platform &)> nearMiss; // just on the other side of the rule
};

// Verify that every rule fires on its trigger and not on the setting just
// short of it.
TEST(AuditTest, VerifyThatEachRuleFiresOnlyPastItsEdge) {
  const std::vector<RuleCase> cases = {
      {"PAYLOAD-MPS-MISMATCH", [](Platform &p) { p.Pcie(kDevice, kDevCtl, 0xE0, 0x00); },
       [](Platform &p) {
         p.Pcie(kDevice, kDevCtl, 0xE0, 0x00);
         p.Pcie(kPort, kDevCtl, 0xE0, 0x00);
       }},
      {"PAYLOAD-MPS-ABOVE-SUPPORTED",
       [](Platform &p) {
         p.Pcie(kDevice, kDevCap, 0x7, 0x0);      // supports 128 B
       },
       [](Platform &p) { p.Pcie(kDevice, kDevCap, 0x7, 0x1); }},
      {"PAYLOAD-MRRS-ABOVE-COMPLETION",
       [](Platform &p) { p.Pcie(kDevice, kDevCtl, 0x7000, 0x3000); }, // 1024 B over 512 B
       [](Platform &p) { p.Pcie(kDevice, kDevCtl, 0x7000, 0x2000); }},
      {"ASPM-UNSUPPORTED",
       [](Platform &p) {
         p.Pcie(kDevice, kLinkCap, 0xC00, 0x800); // L1 only
         p.Pcie(kDevice, kLinkCtl, 0x3, 0x3);
       },
       [](Platform &p) { p.Pcie(kDevice, kLinkCap, 0xC00, 0x800); }},
      {"ASPM-L1-ONE-END", [](Platform &p) { p.Pcie(kDevice, kLinkCtl, 0x3, 0x0); },
       [](Platform &p) {
         p.Pcie(kDevice, kLinkCtl, 0x3, 0x1);
         p.Pcie(kPort, kLinkCtl, 0x3, 0x1);
       }},
      {"ASPM-L1-LATENCY",
       [](Platform &p) {
         p.Pcie(kDevice, kDevCap, 0xE00, 0x400);   // accepts 4 us
         p.Pcie(kPort, kLinkCap, 0x38000, 0x18000); // exits in 8 us
       },
       [](Platform &p) {
         p.Pcie(kDevice, kDevCap, 0xE00, 0x400);
         p.Pcie(kPort, kLinkCap, 0x38000, 0x10000); // exactly 4 us
       }},
      {"ASPM-L0S-LATENCY",
       [](Platform &p) {
         p.Pcie(kDevice, kDevCap, 0x1C0, 0x40);    // accepts 128 ns
         p.Pcie(kDevice, kLinkCtl, 0x3, 0x3);
         p.Pcie(kPort, kLinkCtl, 0x3, 0x3);
         p.Pcie(kPort, kLinkCap, 0x7000, 0x2000);  // 256 ns
         p.Pcie(kDevice, kLinkCap, 0x7000, 0x1000);
       },
       [](Platform &p) {
         p.Pcie(kDevice, kDevCap, 0x1C0, 0x40);
         p.Pcie(kDevice, kLinkCtl, 0x3, 0x3);
         p.Pcie(kPort, kLinkCtl, 0x3, 0x3);
         p.Pcie(kPort, kLinkCap, 0x7000, 0x1000);  // exactly 128 ns
         p.Pcie(kDevice, kLinkCap, 0x7000, 0x1000);
       }},
      {"ASPM-BLACKLISTED",
       [](Platform &p) {
         p.F(kDevice).Poke(0, 4, 0x91231B4B);      // L0s removed for this device
         p.Pcie(kDevice, kLinkCtl, 0x3, 0x3);
         p.Pcie(kPort, kLinkCtl, 0x3, 0x3);
       },
       [](Platform &p) { p.F(kDevice).Poke(0, 4, 0x91231B4B); }}, // L1 alone stays allowed
      {"L1SS-BLACKLISTED", [](Platform &p) { p.F(kDevice).Poke(0, 4, 0x54101344); },
       [](Platform &p) {
         p.F(kDevice).Poke(0, 4, 0x54101344);      // L1.2 removed: keep L1.1 only
         p.L1ss(kDevice, 0x8, 0xF, 0xA);
         p.L1ss(kPort, 0x8, 0xF, 0xA);
       }},
      {"L1SS-UNSUPPORTED", [](Platform &p) { p.L1ss(kDevice, 0x4, 0x4, 0x0); },
       [](Platform &p) {
         p.L1ss(kDevice, 0x4, 0x4, 0x0);
         p.L1ss(kDevice, 0x8, 0xF, 0x8);
         p.L1ss(kPort, 0x8, 0xF, 0x8);
       }},
      {"L1SS-ONE-END", [](Platform &p) { p.L1ss(kDevice, 0x8, 0xF, 0x8); },
       [](Platform &p) {
         p.L1ss(kDevice, 0x8, 0xF, 0x8);
         p.L1ss(kPort, 0x8, 0xF, 0x8);
       }},
      {"L1SS-L12-WITHOUT-LTR", [](Platform &p) { p.Pcie(kPort, kDevCtl2, 0x400, 0); },
       [](Platform &p) {
         p.Pcie(kPort, kDevCtl2, 0x400, 0);
         p.L1ss(kDevice, 0x8, 0xF, 0x8);           // L1.1 needs no LTR
         p.L1ss(kPort, 0x8, 0xF, 0x8);
       }},
      {"L1SS-TPOWERON-MISMATCH", [](Platform &p) { p.L1ss(kDevice, 0xC, 0xFB, 0x0031); },
       [](Platform &p) { p.L1ss(kDevice, 0xC, 0xFB, 0x0028 | 0x1); }}, // 5 x 10 us again
      {"L1SS-TPOWERON-ZERO",
       [](Platform &p) {
         p.L1ss(kDevice, 0xC, 0xFB, 0x0000);
         p.L1ss(kPort, 0xC, 0xFB, 0x0000);
       },
       [](Platform &p) {
         p.L1ss(kDevice, 0xC, 0xFB, 0x0008);       // 1 x 2 us
         p.L1ss(kPort, 0xC, 0xFB, 0x0008);
       }},
      {"L1SS-TPOWERON-RESERVED-SCALE", [](Platform &p) { p.L1ss(kPort, 0xC, 0x3, 0x3); },
       [](Platform &p) {
         p.L1ss(kPort, 0xC, 0xFB, 0x002A);         // 5 x 100 us
         p.L1ss(kDevice, 0xC, 0xFB, 0x002A);
       }},
      {"L1SS-CMRT-MISMATCH", [](Platform &p) { p.L1ss(kDevice, 0x8, 0xFF00, 0x0000); },
       [](Platform &p) {
         p.L1ss(kDevice, 0x8, 0xFF00, 0x0000);
         p.L1ss(kPort, 0x8, 0xFF00, 0x0000);
       }},
      {"L1SS-THRESHOLD-LOW",
       [](Platform &p) {
         // Wake: 2 us T_POWER_ON + 0 us restore + 6 us = 8000 ns; 249 x 32 ns.
         for (const uint32_t bdf : {kPort, kDevice}) {
           p.L1ss(bdf, 0xC, 0xFB, 0x0008);
           p.L1ss(bdf, 0x8, 0xE3FFFF00, 0x20F90000);
         }
       },
       [](Platform &p) {
         for (const uint32_t bdf : {kPort, kDevice}) {  // 250 x 32 ns: exactly the wake time
           p.L1ss(bdf, 0xC, 0xFB, 0x0008);
           p.L1ss(bdf, 0x8, 0xE3FFFF00, 0x20FA0000);
         }
       }},
      {"CLKREQ-MISSING", [](Platform &p) { p.input.rootPorts[kPort].clkReq = false; },
       [](Platform &p) {
         p.input.rootPorts[kPort].clkReq = false;
         for (const uint32_t bdf : {kPort, kDevice}) {
           p.L1ss(bdf, 0x8, 0xF, 0);
         }
       }},
      {"CLOCK-CCC-ONE-END", [](Platform &p) { p.Pcie(kDevice, kLinkCtl, 0x40, 0); },
       [](Platform &p) {
         p.Pcie(kDevice, kLinkCtl, 0x40, 0);
         p.Pcie(kPort, kLinkCtl, 0x40, 0);
       }},
      {"CLOCK-CCC-NO-SLOT-CLOCK",
       [](Platform &p) { p.Pcie(kDevice, kLinkCtl, 0x10000000, 0); }, // Slot Clock 0
       [](Platform &p) {
         p.Pcie(kDevice, kLinkCtl, 0x10000000, 0);
         p.Pcie(kDevice, kLinkCtl, 0x40, 0);
         p.Pcie(kPort, kLinkCtl, 0x40, 0);
       }},
      {"LINK-TRAINING", [](Platform &p) { p.Pcie(kPort, kLinkSta - 2, 0x08000000, 0x08000000); },
       [](Platform &p) { p.Pcie(kDevice, kLinkSta - 2, 0x08000000, 0x08000000); }}, // upstream end
      {"CLOCK-PM-UNSUPPORTED",
       [](Platform &p) {
         p.Pcie(kDevice, kLinkCap, 0x40000, 0);
         p.Pcie(kDevice, kLinkCtl, 0x100, 0x100);
       },
       [](Platform &p) { p.Pcie(kDevice, kLinkCtl, 0x100, 0x100); }},
      {"LTR-UPSTREAM-DISABLED",
       [](Platform &p) {
         p.Pcie(kPort, kDevCtl2, 0x400, 0);
         for (const uint32_t bdf : {kPort, kDevice}) {
           p.L1ss(bdf, 0x8, 0xF, 0xA);
         }
       },
       [](Platform &p) {
         p.Pcie(kDevice, kDevCtl2, 0x400, 0);      // off below an enabled port is fine
         for (const uint32_t bdf : {kPort, kDevice}) {
           p.L1ss(bdf, 0x8, 0xF, 0xA);
         }
       }},
      {"ECRC-UNSUPPORTED",
       [](Platform &p) { p.Aer(kDevice, 0x18, 0x1E0, 0x040); }, // generation without capability
       [](Platform &p) { p.Aer(kDevice, 0x18, 0x1E0, 0x060); }},
      {"ECRC-CHECK-NOT-FORWARDED",
       [](Platform &p) {
         p.Aer(kDevice, 0x18, 0x1E0, 0x180);
         p.Aer(kPort, 0x18, 0x1E0, 0);
       },
       [](Platform &p) {
         p.Aer(kDevice, 0x18, 0x1E0, 0x180);
         p.Aer(kPort, 0x18, 0x1E0, 0x080);         // the port can check ECRC
       }},
      {"AER-ROOT-PORTS-DIFFER",
       [](Platform &p) {
         p.config.Add(kSecondPort, cat::RootPort(2, 1).Build());
         p.Aer(kSecondPort, 0x08, 0xFFFFFFFF, 0x00100000);
       },
       [](Platform &p) {
         p.config.Add(kSecondPort, cat::RootPort(2, 1).Build());
         p.input.rootPorts[kSecondPort].silicon = Bdf(0x80, 0, 0); // another silicon
         p.Aer(kSecondPort, 0x08, 0xFFFFFFFF, 0x00100000);
       }},
      {"S3-NOT-RESTORED",
       [](Platform &p) { p.input.resume.push_back({"01:00.0 +0x088", "PCIE_DEVICE_CTRL", 1, 0, false}); },
       [](Platform &p) { p.input.resume.push_back({"01:00.0 +0x088", "PCIE_DEVICE_CTRL", 1, 0, true}); }},
      {"S3-RESTORED-DIFFERENTLY",
       [](Platform &p) { p.input.resume.push_back({"01:00.0 +0x088", "PCIE_DEVICE_CTRL", 1, 0, true}); },
       [](Platform &) {}},
  };
  for (const RuleCase &c : cases) {
    Platform hit;
    c.trigger(hit);
    EXPECT_TRUE(Has(hit.Run(), c.id)) << c.id << " not found; found: "
                                      << ::testing::PrintToString(Ids(hit.Run()));
    Platform miss;
    c.nearMiss(miss);
    EXPECT_FALSE(Has(miss.Run(), c.id)) << c.id << " found on its near miss";
  }
}

// Verify the L1 exit latency along a path through a switch: each link's
// larger exit latency plus 1 us for every switch between it and the
// endpoint, as the Linux kernel reckons it.
TEST(AuditTest, VerifyThatL1LatencyAddsOneMicrosecondPerSwitch) {
  auto build = [](uint32_t acceptableCode) {
    auto p = std::make_unique<Platform>();
    p->config.Functions().clear();
    p->config.Add(kPort, cat::RootPort(1, 4).Build());
    p->F(kPort).Poke(0x18, 4, 0x00040100); // secondary 1, subordinate 4
    p->config.Add(Bdf(1, 0, 0), cat::SwitchUpstreamPort(1, 2, 3).Build());
    p->config.Add(Bdf(2, 1, 0), cat::SwitchDownstreamPort(2, 3, 3).Build());
    p->config.Add(Bdf(3, 0, 0), cat::NvmeSsd().Build());
    for (const uint32_t bdf : {kPort, Bdf(1, 0, 0), Bdf(2, 1, 0), Bdf(3, 0, 0)}) {
      p->Pcie(bdf, kLinkCtl, 0x3, 0x2);                 // ASPM L1
      p->Pcie(bdf, kLinkCap, 0x38000, 0x10000);         // exits in 4 us
    }
    p->Pcie(Bdf(3, 0, 0), kDevCap, 0xE00, acceptableCode << 9);
    return p;
  };
  // 4 us accepted: the endpoint's own link is at the edge, the link above
  // the switch is 1 us past it.
  const auto tight = build(2)->Run();
  ASSERT_TRUE(Has(tight, "ASPM-L1-LATENCY"));
  const auto it = std::find_if(tight.begin(), tight.end(),
                               [](const audit::Finding &f) { return f.id == "ASPM-L1-LATENCY"; });
  EXPECT_EQ(it->functions, (std::vector<uint32_t>{Bdf(3, 0, 0), kPort, Bdf(1, 0, 0)}));
  EXPECT_NE(it->message.find("5000 ns"), std::string::npos) << it->message;
  EXPECT_EQ(std::count_if(tight.begin(), tight.end(),
                          [](const audit::Finding &f) { return f.id == "ASPM-L1-LATENCY"; }),
            1);
  EXPECT_FALSE(Has(build(3)->Run(), "ASPM-L1-LATENCY")); // 8 us accepted
}

// Verify that findings come most severe first, and that each names its
// functions, the registers that prove it and the standard's section.
TEST(AuditTest, VerifyThatFindingsAreOrderedAndCarryTheirEvidence) {
  Platform p;
  p.Pcie(kDevice, kLinkCtl, 0x40, 0);                  // warning: common clock on one end
  p.Pcie(kDevice, kDevCap, 0x7, 0x0);                  // error: payload above supported
  p.input.rootPorts[kPort].completionPayload = 128;    // info: read requests above it
  const auto findings = p.Run();
  ASSERT_GE(findings.size(), 3u);
  for (size_t i = 1; i < findings.size(); ++i) {
    EXPECT_LE(findings[i - 1].severity, findings[i].severity);
  }
  EXPECT_EQ(findings.front().id, "PAYLOAD-MPS-ABOVE-SUPPORTED");
  EXPECT_EQ(findings.front().functions, std::vector<uint32_t>{kDevice});
  ASSERT_EQ(findings.front().registers.size(), 2u);
  EXPECT_EQ(findings.front().registers[1].name, "CAP_EXP+0x08 Device Control/Status");
  EXPECT_EQ(findings.front().registers[1].value & 0xE0, 0x20u);
  EXPECT_EQ(findings.front().section, "PCI Express Base r5.0, 7.5.3.4");
  EXPECT_EQ(findings.back().severity, audit::Severity::Info);
}

// Verify that the audit reads the same blacklist rows the driver applies,
// matched on either end of the link.
TEST(AuditTest, VerifyThatBlacklistVerdictsFollowTheDriversTables) {
  EXPECT_EQ(audit::BlacklistFor(0x12345678, 0x10D38086).aspmRemoved, 3u); // both states
  EXPECT_EQ(audit::BlacklistFor(0x91231B4B, 0x12345678).aspmRemoved, 1u); // L0s, upstream end
  EXPECT_EQ(audit::BlacklistFor(0x12345678, 0x15638086).aspmRemoved, 2u); // L1
  EXPECT_EQ(audit::BlacklistFor(0x12345678, 0x9ABC1234).aspmRemoved, 0u);
  EXPECT_EQ(audit::BlacklistFor(0x12345678, 0x54101344).l1ssRemoved, 0x5u); // L1.2 only
}

} // namespace

namespace {

// Verify that a finding is never raised from bytes a capture did not hold:
// the same mismatch is reported with the device's Device Control known, is
// "not judged" when that row is missing, and a 256-byte capture's extended
// space is named as not checked.
TEST(AuditTest, VerifyThatUnknownBytesRaiseNoFindingAndAreNamed) {
  Platform p;
  p.Pcie(kDevice, kDevCtl, 0xE0, 0x00); // 128 B below a 256 B port
  EXPECT_TRUE(Has(p.Run(), "PAYLOAD-MPS-MISMATCH"));
  const uint16_t row = static_cast<uint16_t>((p.F(kDevice).pcieCap + kDevCtl) & ~0xF);
  p.F(kDevice).unknown = {{row, static_cast<uint16_t>(row + 16)}};
  std::vector<std::string> notes;
  EXPECT_FALSE(Has(audit::Run(p.input, &notes), "PAYLOAD-MPS-MISMATCH"));
  ASSERT_GE(notes.size(), 2u);
  EXPECT_EQ(notes[0].rfind("PAYLOAD-MPS-MISMATCH not judged: it rests on 01:00.0 CAP_EXP+0x08 Device Control", 0),
            0u) << notes[0];
  EXPECT_NE(notes.back().find("01:00.0: bytes 0x"), std::string::npos) << notes.back();
  p.F(kDevice).unknown = {{0x100, 0x1000}};
  audit::Run(p.input, &notes);
  EXPECT_NE(notes.back().find("extended configuration space not captured"), std::string::npos);
}

} // namespace
