// Counted-string helpers.
#include "platform/host/kernel.h"

namespace {
constexpr ULONG kStringTag = 0x67727453;  // "Strg"
}

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  size_t n = 0;
  if (SourceString) {
    while (SourceString[n] && n < 0x7FFE) ++n;
  }
  DestinationString->Length = USHORT(n * sizeof(WCHAR));
  DestinationString->MaximumLength = SourceString ? USHORT((n + 1) * sizeof(WCHAR)) : 0;
  DestinationString->Buffer = const_cast<PWCHAR>(SourceString);
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                      PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
  ULONG chars = SourceString->Length / sizeof(WCHAR);
  ULONG needed = chars + 1;  // with the terminator
  if (needed > 0xFFFF) return STATUS_INVALID_PARAMETER_2;
  NTSTATUS status = STATUS_SUCCESS;
  if (AllocateDestinationString) {
    DestinationString->Buffer =
        static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, needed, kStringTag));
    if (!DestinationString->Buffer) return STATUS_NO_MEMORY;
    DestinationString->MaximumLength = USHORT(needed);
  } else if (needed > DestinationString->MaximumLength) {
    if (DestinationString->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
    status = STATUS_BUFFER_OVERFLOW;
    chars = DestinationString->MaximumLength - 1u;
  }
  for (ULONG i = 0; i < chars; ++i) {
    WCHAR c = SourceString->Buffer[i];
    DestinationString->Buffer[i] = c < 0x80 ? CHAR(c) : '?';
  }
  DestinationString->Buffer[chars] = 0;
  DestinationString->Length = USHORT(chars);
  return status;
}

VOID RtlFreeAnsiString(PANSI_STRING AnsiString) {
  if (AnsiString->Buffer) ExFreePoolWithTag(AnsiString->Buffer, kStringTag);
  AnsiString->Buffer = nullptr;
  AnsiString->Length = AnsiString->MaximumLength = 0;
}
