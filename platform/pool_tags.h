// Pool tags of the driver. Each is built so that the pool shows the four
// characters in the order written here (the first character in the lowest
// byte), as a debugger's pool listing prints them.
#pragma once

constexpr ULONG MakePoolTag(char a, char b, char c, char d) {
  return static_cast<ULONG>(static_cast<unsigned char>(a)) |
         (static_cast<ULONG>(static_cast<unsigned char>(b)) << 8) |
         (static_cast<ULONG>(static_cast<unsigned char>(c)) << 16) |
         (static_cast<ULONG>(static_cast<unsigned char>(d)) << 24);
}

// Device, engine, pin and filter contexts.
constexpr ULONG kTagContext = MakePoolTag('K', 'C', 'N', 'w');
// Tables, frame and work buffers, transient requests.
constexpr ULONG kTagBuffer = MakePoolTag('K', 'L', 'R', 'X');
// Pin format copies and _KsEdit copies.
constexpr ULONG kTagFormat = MakePoolTag('A', 'V', 'S', 'h');
// Descriptor-read request blocks.
constexpr ULONG kTagRequest = MakePoolTag('K', 'V', 'I', 'R');
