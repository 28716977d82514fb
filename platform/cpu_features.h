// Instruction-set extensions the image code may use beyond SSE2, which every
// x64 processor has. Each query answers whether the processor has the
// extension and this build may use it now. In Windows kernel mode the AVX
// register state must be saved around its use: there the AVX queries answer
// true only while the calling thread holds a SimdState (platform/simd_state.h),
// which the frame pipeline takes once per frame. Ask at the start of the work
// that uses the answer and do not keep it beyond that work.
#pragma once

bool CpuHasSsse3();
bool CpuHasAvx2();
// AVX-512 F, BW and VBMI together.
bool CpuHasAvx512Vbmi();
