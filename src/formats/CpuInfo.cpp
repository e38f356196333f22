#include "formats/CpuInfo.h"

#include <cpuid.h>

#include <cstring>

namespace {

struct Registers {
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
};

Registers Query(unsigned int leaf) {
  Registers r;
  __cpuid(leaf, r.eax, r.ebx, r.ecx, r.edx);
  return r;
}

void CopyWord(char* out, unsigned int word) {
  std::memcpy(out, &word, 4);
}

}  // namespace

CpuInfoRecord ReadCpuInfo() {
  CpuInfoRecord info;
  // __get_cpuid_max answers 0 when the processor has no identification instruction at all.
  if (__get_cpuid_max(0, nullptr) == 0) return info;

  const Registers leaf0 = Query(0);
  info.maxStandardLeaf = leaf0.eax;
  CopyWord(info.vendor, leaf0.ebx);
  CopyWord(info.vendor + 4, leaf0.edx);
  CopyWord(info.vendor + 8, leaf0.ecx);
  info.isIntel = std::strcmp(info.vendor, "GenuineIntel") == 0;
  if (!info.isIntel) info.isAmd = std::strcmp(info.vendor, "AuthenticAMD") == 0;

  if (info.maxStandardLeaf != 0) {
    const Registers leaf1 = Query(1);
    info.signature = leaf1.eax;
    info.leaf1Ebx = leaf1.ebx;
    info.features2 = leaf1.ecx;
    info.features = leaf1.edx;
  }

  info.maxExtendedLeaf = Query(0x80000000u).eax;
  if (info.maxExtendedLeaf >= 0x80000001u) {
    const Registers ext1 = Query(0x80000001u);
    info.extendedEbx = ext1.ebx;
    info.extendedFeatures2 = ext1.ecx;
    info.extendedFeatures = ext1.edx;
  }
  if (info.maxExtendedLeaf >= 0x80000004u) {
    for (unsigned int k = 0; k < 3; ++k) {
      const Registers b = Query(0x80000002u + k);
      CopyWord(info.brand + 16 * k, b.eax);
      CopyWord(info.brand + 16 * k + 4, b.ebx);
      CopyWord(info.brand + 16 * k + 8, b.ecx);
      CopyWord(info.brand + 16 * k + 12, b.edx);
    }
  }
  if (info.maxExtendedLeaf >= 0x80000006u) info.l2Cache = Query(0x80000006u).ecx;
  return info;
}

const CpuInfoRecord CpuInfo = ReadCpuInfo();
