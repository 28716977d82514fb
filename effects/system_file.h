// Opens a file of the driver's system folder by its kernel path
// ("\SystemRoot\system32\..."), synchronously, for the overlay bitmaps and
// the decode-error dumps. Must be called at PASSIVE_LEVEL.
#pragma once

#include "platform/wdk.h"

inline NTSTATUS OpenSystemFile(const WCHAR* path, ACCESS_MASK access, ULONG shareAccess,
                               ULONG disposition, HANDLE* file) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                             nullptr);
  IO_STATUS_BLOCK io = {};
  *file = nullptr;
  return ZwCreateFile(file, access, &attributes, &io, nullptr, 0, shareAccess, disposition,
                      FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
}
