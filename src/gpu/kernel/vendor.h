// What the compilers of the search kernel disagree on, so that
// search_kernel.cl can be written once, in the part of OpenCL C 1.2 that
// CUDA C++ and host C++ also accept. Three compilers read it:
//
//   OpenCL   the program text is this file, then search_kernel.cl
//            (opencl/program.h); __OPENCL_C_VERSION__ (the -cl-std
//            asked for) or __OPENCL_VERSION__ (the device's) is defined.
//   CUDA     cuda/search_kernels.cu includes both inside namespace gpu_kernel.
//   host     kernel_host.h includes both inside namespace gpu_kernel, for the
//            tests of the kernel's arithmetic and for the host side of the
//            parameter and result layout.
//
// The CUDA and host branches are included inside a namespace, so they must
// not include headers of their own; their includer has <cstdint>.
//
// No function may rely on being inlined to have a body: C99's plain `inline`
// emits none, and a compiler that chooses not to inline then fails to link
// the program. DEVICE_FN is therefore `static`. It also forces inlining
// (KERNEL_FORCE_INLINE), since an OpenCL compiler left to itself may keep the
// hash, called from two kernels, out of line, where AMD's calling convention
// puts its state in scratch memory; the tests build the program once with
// KERNEL_FORCE_INLINE empty and no optimisation, which runs the functions as
// real calls.
//
// Every helper below takes its shift or rotation as a constant after
// inlining; the kernel only ever passes literals.

#if defined(__OPENCL_C_VERSION__) || defined(__OPENCL_VERSION__)

#ifndef KERNEL_FORCE_INLINE
#define KERNEL_FORCE_INLINE __attribute__((always_inline))
#endif
#define DEVICE_FN static inline KERNEL_FORCE_INLINE
#define KERNEL_ENTRY __kernel void
#define GLOBAL_AS __global
#define CONSTANT_TABLE __constant
#define UNROLL _Pragma("unroll")
#define GLOBAL_ID() ((ulong)get_global_id(0))
#define LOCAL_ID() ((ulong)get_local_id(0))
#define LOCAL_SIZE() ((ulong)get_local_size(0))
#define GROUP_SHARED __local
#define GROUP_BARRIER() barrier(CLK_LOCAL_MEM_FENCE)

// True for the one work-item that turns *flag from 0 to 1.
DEVICE_FN bool claim_first(GLOBAL_AS uint* flag) { return atomic_cmpxchg(flag, 0u, 1u) == 0u; }

DEVICE_FN void count_up(GLOBAL_AS uint* counter, uint n) { atomic_add(counter, n); }

DEVICE_FN ulong rotl64(ulong v, int n) { return rotate(v, (ulong)n); }

// bitselect(x, y, m): the bits of y where m is set, of x elsewhere (one
// instruction on AMD cards, v_bfi_b32).
DEVICE_FN uint select32(uint x, uint y, uint m) { return bitselect(x, y, m); }

#elif defined(__CUDACC__)

typedef uint64_t ulong;
typedef uint32_t uint;
typedef uint8_t uchar;

#define DEVICE_FN static __device__ __forceinline__
#define KERNEL_ENTRY __global__ void __launch_bounds__(SEARCH_GROUP_SIZE)
#define GLOBAL_AS
#define CONSTANT_TABLE static __constant__ const
#define UNROLL _Pragma("unroll")
#define GLOBAL_ID() ((ulong)blockIdx.x * blockDim.x + threadIdx.x)
#define LOCAL_ID() ((ulong)threadIdx.x)
#define LOCAL_SIZE() ((ulong)blockDim.x)
#define GROUP_SHARED __shared__
#define GROUP_BARRIER() __syncthreads()

DEVICE_FN bool claim_first(uint* flag) { return atomicCAS(flag, 0u, 1u) == 0u; }

DEVICE_FN void count_up(uint* counter, uint n) { atomicAdd(counter, n); }

// A 64-bit rotation as two funnel shifts (SHF), one per 32-bit half.
DEVICE_FN ulong rotl64(ulong v, int n) {
  const uint lo = (uint)v;
  const uint hi = (uint)(v >> 32);
  if ((n & 63) == 0) return v;
  if (n == 32) return ((ulong)lo << 32) | hi;
  if (n < 32) return ((ulong)__funnelshift_l(lo, hi, n) << 32) | __funnelshift_l(hi, lo, n);
  return ((ulong)__funnelshift_l(hi, lo, n - 32) << 32) | __funnelshift_l(lo, hi, n - 32);
}

DEVICE_FN uint select32(uint x, uint y, uint m) { return (x & ~m) | (y & m); }

#else  // host C++

#define KERNEL_HOST_BUILD 1
typedef uint64_t ulong;
typedef uint32_t uint;
typedef uint8_t uchar;

#define DEVICE_FN static inline
#define GLOBAL_AS
#define CONSTANT_TABLE static constexpr
#define UNROLL

DEVICE_FN ulong rotl64(ulong v, int n) { return (v << (n & 63)) | (v >> ((64 - n) & 63)); }

DEVICE_FN uint select32(uint x, uint y, uint m) { return (x & ~m) | (y & m); }

#endif
