// Instruction-set extensions the image code may use beyond SSE2, which every
// x64 processor has. Each query answers whether the processor has the
// extension and this build may use it now. In Windows kernel mode the AVX
// register state must be saved around its use (KeSaveExtendedProcessorState),
// which the driver does not do yet, so there the AVX queries answer false.
// Answers never change while the driver runs; callers may call them per frame.
#pragma once

bool CpuHasSsse3();
bool CpuHasAvx2();
// AVX-512 F, BW and VBMI together.
bool CpuHasAvx512Vbmi();
