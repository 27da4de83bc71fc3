// CPU feature detection (x86-64 builds only): what the CPU and the OS allow,
// decoded from the raw register values.

#include <gtest/gtest.h>

#include "hash/cpu_features.h"

namespace {

// GCC's own run-time check also looks at XCR0, so it is an independent
// second opinion on what this machine can run.
TEST(CpuFeatures, AgreeWithCompilerRuntimeCheck) {
  __builtin_cpu_init();
  const CpuFeatures features = cpu_features_detect();
  EXPECT_EQ(features.avx2, __builtin_cpu_supports("avx2") != 0);
  EXPECT_EQ(features.avx512f_vl,
            __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512vl") != 0);
}

// Register values as a CPU with AVX2 and AVX-512 F+VL reports them, with an
// OS that saves every vector register file.
constexpr uint32_t kLeaf1Ecx = (1u << 27) | (1u << 28);           // OSXSAVE, AVX
constexpr uint32_t kLeaf7Ebx = (1u << 5) | (1u << 16) | (1u << 31);  // AVX2, AVX512F, AVX512VL
constexpr uint64_t kXcr0All = 0xE7;                                // x87, XMM, YMM, opmask, ZMM

TEST(CpuFeatures, NeedBothTheCpuAndTheOsSavingTheRegisters) {
  const CpuFeatures everything = cpu_features_decode({kLeaf1Ecx, kLeaf7Ebx, kXcr0All});
  EXPECT_TRUE(everything.avx2);
  EXPECT_TRUE(everything.avx512f_vl);

  // The OS saves YMM but not the AVX-512 state.
  const CpuFeatures no_zmm = cpu_features_decode({kLeaf1Ecx, kLeaf7Ebx, 0x07});
  EXPECT_TRUE(no_zmm.avx2);
  EXPECT_FALSE(no_zmm.avx512f_vl);

  // Upper ZMM halves saved but not ZMM16-31.
  EXPECT_FALSE(cpu_features_decode({kLeaf1Ecx, kLeaf7Ebx, 0x67}).avx512f_vl);

  // No YMM state: neither kernel, whatever the CPU claims.
  const CpuFeatures no_ymm = cpu_features_decode({kLeaf1Ecx, kLeaf7Ebx, 0x03 | 0xE0});
  EXPECT_FALSE(no_ymm.avx2);
  EXPECT_FALSE(no_ymm.avx512f_vl);

  // XSAVE not enabled by the OS, or AVX itself absent.
  EXPECT_FALSE(cpu_features_decode({1u << 28, kLeaf7Ebx, kXcr0All}).avx2);
  EXPECT_FALSE(cpu_features_decode({1u << 27, kLeaf7Ebx, kXcr0All}).avx2);

  // AVX-512 F without VL, and a CPU without AVX2.
  EXPECT_FALSE(cpu_features_decode({kLeaf1Ecx, kLeaf7Ebx & ~(1u << 31), kXcr0All}).avx512f_vl);
  EXPECT_FALSE(cpu_features_decode({kLeaf1Ecx, kLeaf7Ebx & ~(1u << 5), kXcr0All}).avx2);
}

}  // namespace
