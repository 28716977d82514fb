// The camera's configuration: reading it, selecting it, the streaming
// endpoint, the alternate setting for a stream and probe/commit.
#pragma once

#include "platform/wdk.h"
#include "usb/stream_engine.h"

// Reads the configuration descriptor into engine->configuration (tag KLRX):
// the 9-byte header, then wTotalLength bytes. A reply shorter than the
// header fails.
NTSTATUS ReadConfiguration(StreamEngine* engine);

// Selects the configuration `configuration` describes, every interface at
// its lowest alternate setting; sets the interface numbers, the
// configuration handle and the status interrupt pipe.
NTSTATUS SelectConfiguration(StreamEngine* engine, const UCHAR* configuration, ULONG length);

// Type (kEndpointIsochronous or kEndpointBulk) of the first endpoint of the
// streaming interface, and for bulk its wMaxPacketSize.
NTSTATUS FindStreamEndpoint(const UCHAR* configuration, ULONG length, LONG streamingInterface,
                            ULONG* type, USHORT* bulkPacketSize);

// Bytes per (micro)frame of an isochronous endpoint: bits 10..0 of
// wMaxPacketSize times one plus the extra transactions of bits 12..11.
// Returns 0 for the reserved value 3 of bits 12..11.
ULONG EffectivePacketSize(USHORT wMaxPacketSize);

// Selects the streaming interface's alternate setting for a stream: for
// isochronous streams with a payload size the first alternate setting whose
// effective packet size holds the payload, otherwise alternate setting 0.
// Sets engine->streamPipe; *packetSize receives the effective packet size
// of a non-zero isochronous alternate setting (0 otherwise).
NTSTATUS SelectAlternateSetting(StreamEngine* engine, ULONG mode, ULONG payloadSize,
                                ULONG packets, ULONG* packetSize);

// Probe and commit of the current format; *payloadSize receives the
// camera's dwMaxPayloadTransferSize.
NTSTATUS NegotiateStream(StreamEngine* engine, ULONG* payloadSize);

// Probe/commit control selectors and the length of the control.
constexpr UCHAR kVsProbeControl = 0x01;
constexpr UCHAR kVsCommitControl = 0x02;
constexpr ULONG kProbeControlLength = 26;
