// The format table and the still table, built from the video-streaming
// interface's class-specific descriptors, and the lookups on them.
#pragma once

#include "platform/wdk.h"
#include "usb/stream_engine.h"

// Most formats an input header may declare.
constexpr ULONG kMaxFormats = 5;
// Shortest frame descriptor that holds every field the table takes (up to
// bFrameIntervalType).
constexpr ULONG kMinFrameDescriptorLength = 26;

// Builds the format table and the still table (tag KLRX; null with a count
// of 0 when empty) from the class-specific descriptors of the first
// video-streaming interface, and returns that interface's number.
NTSTATUS BuildFormatTable(const UCHAR* configuration, ULONG length, FrameFormat** table,
                          ULONG* count, FrameFormat** stillTable, ULONG* stillCount,
                          LONG* streamingInterface);

// Keeps only the MJPG entries (offered as YUY2) when the camera has any and,
// on a high-speed device, adds the scaled sizes whose source size (320x240
// or 640x480 YUY2 output) the table has; then orders the entries after the
// first by output width. Replaces *table on success.
NTSTATUS RestrictAndExtend(StreamEngine* engine, FrameFormat** table, ULONG* count);

// Makes the last entry with this output size and subtype the current format.
NTSTATUS SelectFormat(StreamEngine* engine, ULONG width, ULONG height, const GUID& subtype);

// 1-based position of the first still entry of this input size; *index is
// left alone when there is none.
VOID FindStillFrameIndex(const FrameFormat* stillTable, ULONG stillCount, ULONG width,
                         ULONG height, ULONG* index);

// Whether a frame size can be carried: both sides non-zero and the 4:2:2
// buffer (2 x width x height) representable in 32 bits.
bool FrameSizeRepresentable(ULONG width, ULONG height);
