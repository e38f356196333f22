// What the processor reports about itself, read once when the library is loaded.
//
// `CpuInfo` is filled by the processor identification instruction during static initialisation, before
// the host can call the entry point; afterwards it is only read. Only `features` (leaf 1 EDX) decides
// anything: its SSE and SSE2 bits (and MMX in the 32-bit build) choose the sample-operation variants. The
// other fields are kept for diagnostics.
#pragma once

#include <cstdint>

// Bits of the standard feature word (leaf 1 EDX).
inline constexpr uint32_t kCpuFeatureMmx = 0x00800000u;   // bit 23
inline constexpr uint32_t kCpuFeatureSse = 0x02000000u;   // bit 25
inline constexpr uint32_t kCpuFeatureSse2 = 0x04000000u;  // bit 26

struct CpuInfoRecord {
  uint32_t maxStandardLeaf = 0;    // EAX of leaf 0
  uint32_t maxExtendedLeaf = 0;    // EAX of leaf 0x80000000
  char vendor[16] = {};            // EBX, EDX, ECX of leaf 0: 12 characters, zero-terminated
  char brand[64] = {};             // leaves 0x80000002..4: 48 characters, zero-terminated; empty if absent
  bool isIntel = false;            // vendor "GenuineIntel"
  bool isAmd = false;              // vendor "AuthenticAMD" (only tested when not Intel)
  uint32_t signature = 0;          // EAX of leaf 1: stepping, model, family
  uint32_t leaf1Ebx = 0;           // EBX of leaf 1
  uint32_t features = 0;           // EDX of leaf 1: the standard feature flags (kCpuFeature*)
  uint32_t features2 = 0;          // ECX of leaf 1
  uint32_t extendedFeatures2 = 0;  // ECX of leaf 0x80000001
  uint32_t extendedFeatures = 0;   // EDX of leaf 0x80000001
  uint32_t extendedEbx = 0;        // EBX of leaf 0x80000001
  uint32_t l2Cache = 0;            // ECX of leaf 0x80000006
};

// Asks the processor. A leaf is read only when the corresponding maximum leaf says it exists; a processor
// without the identification instruction yields the all-zero record.
CpuInfoRecord ReadCpuInfo();

// The record of the processor the library runs on, filled at load.
extern const CpuInfoRecord CpuInfo;
