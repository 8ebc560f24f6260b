// Builds the packed topology the producer publishes, writing every field at
// its contractual byte offset (independently of the driver's structures).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

namespace flags {
inline constexpr uint32_t kLast = 0x80000000;
inline constexpr uint32_t kLastSilicon = 0x20000000;
inline constexpr uint32_t kEngineActive = 0x10000000;
inline constexpr uint32_t kSilicon = 0x02000000;
inline constexpr uint32_t kWrapper = 0x01000000;
inline constexpr uint32_t kEngine = 0x00800000;
} // namespace flags

inline constexpr size_t kWrapperSize = 18;
inline constexpr size_t kEngineSize = 107;
inline constexpr size_t kPlatformHeaderSize = 24;

struct EngineLayout {
  bool active = true;
  uint16_t startLane = 0;
  uint16_t endLane = 0;
  uint8_t portStatus = 0x08; // PortReady
  uint8_t portDeviceFunction = 0;
  uint8_t portAspm = 0;
  uint8_t portControl = 0;
  uint8_t portLocation = 0; // PortId 7:4, CoreId 3:0
  uint32_t portPciAddress = 0;
  uint8_t slotPowerLimitValue = 0;
  uint8_t maxPayloadSize = 0;
  uint8_t clkReqMap = 0;
  uint8_t srisOptions = 0;
  uint8_t portPmOptions = 0;
  uint32_t extraFlags = 0;
};

struct WrapperLayout {
  uint8_t wrapperId = 0;
  uint8_t wrapperFeatures = 0;
  std::vector<EngineLayout> engines;
  unsigned recordsBeforeEngines = 0; // intermediate records on the child chain
};

struct SiliconLayout {
  uint8_t socketId = 0;
  uint8_t dieId = 0;
  uint8_t instanceId = 0;
  uint32_t hostBridgeAddress = 0;
  std::vector<WrapperLayout> wrappers;
  unsigned recordsBeforeWrappers = 0;
  // Test hooks for broken producers.
  bool omitLastSiliconFlag = false;
  bool zeroPeerOffset = false;
};

struct TopologyLayout {
  std::vector<SiliconLayout> silicons;
  unsigned recordsBeforeSilicon = 0; // intermediate records after the root
};

struct BuiltTopology {
  std::vector<uint8_t> bytes;
  std::vector<size_t> siliconOffsets;
  std::vector<std::vector<size_t>> engineOffsets; // per silicon, in walk order
  std::vector<std::vector<uint8_t>> engineWrapperIds; // the WrapperId of each engine's wrapper
};

BuiltTopology BuildTopology(const TopologyLayout &layout);

// Reads an engine field back from built bytes (for checking write-backs).
uint8_t EngineByte(const std::vector<uint8_t> &bytes, size_t engineOffset, size_t field);

namespace engine_field {
inline constexpr size_t kPortAspm = 20;
inline constexpr size_t kMaxPayloadSize = 37;
inline constexpr size_t kPortPmOptions = 49;
} // namespace engine_field

} // namespace sim
