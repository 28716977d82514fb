// Decode-error report of the frame pipeline: the debug message and the dump
// of the compressed frame that failed.
#include "pipeline/frame_pipeline.h"

#include "effects/system_file.h"

namespace {

// Errors since load; the dump of error n is named after n.
LONG volatile g_decodeErrorCounter = 0;
// Dumps written since load, and the millisecond time of the last one + 1
// (0: none yet).
LONG volatile g_decodeDumpCount = 0;
LONG volatile g_lastDumpTimePlusOne = 0;

constexpr char kDumpPrefix[] = "\\SystemRoot\\system32\\aa\\Image";

// Appends the decimal form of `value` at `out`; returns the characters written.
ULONG AppendDecimal(WCHAR* out, LONG value) {
  WCHAR digits[12];
  ULONG n = 0;
  ULONG magnitude = value < 0 ? 0u - static_cast<ULONG>(value) : static_cast<ULONG>(value);
  do {
    digits[n++] = static_cast<WCHAR>(L'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  ULONG written = 0;
  if (value < 0) out[written++] = L'-';
  while (n != 0) out[written++] = digits[--n];
  return written;
}

// One dump per kDecodeDumpIntervalMs and kDecodeDumpLimit per load, so that
// a camera that keeps sending broken frames cannot fill the disk. The slot
// is claimed atomically: of two racing errors only one writes.
bool ClaimDumpSlot() {
  if (ReadNoFence(&g_decodeDumpCount) >= static_cast<LONG>(kDecodeDumpLimit)) return false;
  const ULONG now = static_cast<ULONG>(KeQueryInterruptTime() / 10000);
  const LONG last = ReadNoFence(&g_lastDumpTimePlusOne);
  if (last != 0 && now + 1 - static_cast<ULONG>(last) < kDecodeDumpIntervalMs) return false;
  const LONG stamp = static_cast<LONG>(now + 1 == 0 ? 1 : now + 1);
  if (InterlockedCompareExchange(&g_lastDumpTimePlusOne, stamp, last) != last) return false;
  return InterlockedIncrement(&g_decodeDumpCount) <= static_cast<LONG>(kDecodeDumpLimit);
}

VOID WriteDump(LONG number, LONG error, const UCHAR* frame, ULONG frameLength) {
  WCHAR path[sizeof kDumpPrefix + 32];
  ULONG n = 0;
  for (const char* c = kDumpPrefix; *c != 0; ++c) path[n++] = static_cast<WCHAR>(*c);
  n += AppendDecimal(path + n, number);
  path[n++] = L'_';
  n += AppendDecimal(path + n, error);
  for (const char* c = ".dat"; *c != 0; ++c) path[n++] = static_cast<WCHAR>(*c);
  path[n] = 0;

  HANDLE file = nullptr;
  if (!NT_SUCCESS(OpenSystemFile(path, GENERIC_WRITE, FILE_SHARE_WRITE, FILE_OVERWRITE_IF, &file)))
    return;
  IO_STATUS_BLOCK status;
  LARGE_INTEGER offset;
  offset.QuadPart = 0;
  ZwWriteFile(file, nullptr, nullptr, nullptr, &status, const_cast<UCHAR*>(frame), frameLength,
              &offset, nullptr);
  ZwClose(file);
}

}  // namespace

VOID ReportDecodeError(LONG error, const UCHAR* frame, ULONG frameLength) {
  DbgPrint("decoder error=%d\n", static_cast<int>(error));
  const LONG number = InterlockedIncrement(&g_decodeErrorCounter) - 1;
  // File calls need passive level; a report raised at dispatch level keeps
  // only the message.
  if (frame == nullptr || KeGetCurrentIrql() != PASSIVE_LEVEL || !ClaimDumpSlot()) return;
  WriteDump(number, error, frame, frameLength);
}
