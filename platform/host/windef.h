// Windows base types the kernel-streaming and video-capture records use:
// DWORD, HANDLE, RECT and SIZE, as the kit's windef.h declares them.
#pragma once

#include "platform/host/nt_types.h"

typedef ULONG DWORD;
typedef PVOID HANDLE;

typedef struct tagRECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
} RECT;

typedef struct tagSIZE {
  LONG cx;
  LONG cy;
} SIZE;
