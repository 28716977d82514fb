// Reading and selecting the configuration, the streaming endpoint, the
// alternate setting of a stream and probe/commit.
#include "usb/configuration.h"

#include "usb/descriptor_walk.h"
#include "usb/usb_request.h"

namespace {

// A zero-filled select-configuration or select-interface URB of `length`
// bytes with its header set; null when the pool has no memory.
PURB AllocateSelectUrb(ULONG length, USHORT function) {
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, length, kTagBuffer));
  if (!urb) return nullptr;
  RtlZeroMemory(urb, length);
  urb->UrbHeader.Length = USHORT(length);
  urb->UrbHeader.Function = function;
  return urb;
}

}  // namespace

NTSTATUS ReadConfiguration(StreamEngine* engine) {
  UCHAR header[sizeof(USB_CONFIGURATION_DESCRIPTOR)];
  RtlZeroMemory(header, sizeof header);
  ULONG got = 0;
  NTSTATUS status = GetConfigurationDescriptor(engine, header, sizeof header, &got);
  if (!NT_SUCCESS(status)) return status;
  if (got < sizeof header) return STATUS_UNSUCCESSFUL;
  ULONG total = ReadLe16(header + 2);
  if (total < sizeof header) total = sizeof header;
  auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, total, kTagBuffer));
  if (!buffer) return STATUS_NO_MEMORY;
  if (total == sizeof header) {
    RtlCopyMemory(buffer, header, sizeof header);
    got = sizeof header;
  } else {
    status = GetConfigurationDescriptor(engine, buffer, total, &got);
    if (NT_SUCCESS(status) && got < sizeof header) status = STATUS_UNSUCCESSFUL;
    if (!NT_SUCCESS(status)) {
      ExFreePoolWithTag(buffer, kTagBuffer);
      return status;
    }
  }
  if (engine->configuration) ExFreePoolWithTag(engine->configuration, kTagBuffer);
  engine->configuration = buffer;
  engine->configurationLength = got;  // only what the device returned is walked
  return STATUS_SUCCESS;
}

NTSTATUS SelectConfiguration(StreamEngine* engine, const UCHAR* configuration, ULONG length) {
  if (!configuration || length < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return STATUS_INVALID_PARAMETER;
  // Per interface number, the offset of its lowest alternate setting; the
  // numbers in the order in which they first appear.
  constexpr ULONG kNone = 0xFFFFFFFF;
  ULONG kept[256];
  UCHAR order[256];
  ULONG interfaces = 0;
  for (ULONG& k : kept) k = kNone;
  for (ULONG off = 0, n; (n = DescriptorLengthAt(configuration, length, off)) != 0; off += n) {
    const UCHAR* d = configuration + off;
    if (!IsInterfaceDescriptor(d, n)) continue;
    UCHAR number = d[2];
    if (kept[number] == kNone) {
      kept[number] = off;
      order[interfaces++] = number;
    } else if (d[3] < configuration[kept[number] + 3]) {
      kept[number] = off;
    }
  }
  LONG control = kNoInterface;
  LONG streaming = kNoInterface;
  ULONG endpoints = 0;
  for (ULONG i = 0; i < interfaces; ++i) {
    const UCHAR* d = configuration + kept[order[i]];
    endpoints += d[4];
    if (d[5] != kVideoClass) continue;
    if (d[6] == kVideoControlSubclass && control == kNoInterface) control = d[2];
    if (d[6] == kVideoStreamingSubclass && streaming == kNoInterface) streaming = d[2];
  }
  if (control == kNoInterface || streaming == kNoInterface) return STATUS_INVALID_PARAMETER;

  ULONG urbLength = offsetof(_URB_SELECT_CONFIGURATION, Interface) + 24 * (interfaces + endpoints);
  if (urbLength > 0xFFFF) return STATUS_INVALID_PARAMETER;  // cannot be described in one URB
  PURB urb = AllocateSelectUrb(urbLength, URB_FUNCTION_SELECT_CONFIGURATION);
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  _URB_SELECT_CONFIGURATION& u = urb->UrbSelectConfiguration;
  u.ConfigurationDescriptor =
      reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<UCHAR*>(configuration));
  PUCHAR cursor = reinterpret_cast<PUCHAR>(&u.Interface);
  PUSBD_INTERFACE_INFORMATION first = &u.Interface;
  for (ULONG i = 0; i < interfaces; ++i) {
    const UCHAR* d = configuration + kept[order[i]];
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
    info->Length = USHORT(24 * (d[4] + 1));
    info->InterfaceNumber = d[2];
    info->AlternateSetting = d[3];
    info->NumberOfPipes = d[4];
    for (ULONG p = 0; p < info->NumberOfPipes; ++p) {
      info->Pipes[p].MaximumPacketSize = 0;
      info->Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      info->Pipes[p].PipeFlags = 0;
    }
    cursor += info->Length;
  }
  NTSTATUS status = SubmitUrb(engine, urb);
  if (NT_SUCCESS(status)) {
    engine->configurationHandle = u.ConfigurationHandle;
    engine->controlInterface = control;
    engine->streamingInterface = streaming;
    // The status pipe: the first interface (the video-control interface in
    // a camera) with an interrupt pipe gives its first pipe.
    bool interrupt = false;
    for (ULONG p = 0; p < first->NumberOfPipes; ++p)
      interrupt = interrupt || first->Pipes[p].PipeType == UsbdPipeTypeInterrupt;
    if (interrupt) {
      engine->hasInterruptPipe = 1;
      engine->interruptPipe = first->Pipes[0].PipeHandle;
      engine->interruptLength = first->Pipes[0].MaximumPacketSize;
    } else {
      engine->hasInterruptPipe = 0;
      engine->interruptPipe = nullptr;
      engine->interruptLength = 0;
    }
  }
  ExFreePoolWithTag(urb, kTagBuffer);
  return status;
}

NTSTATUS FindStreamEndpoint(const UCHAR* configuration, ULONG length, LONG streamingInterface,
                            ULONG* type, USHORT* bulkPacketSize) {
  if (!configuration || streamingInterface < 0) return STATUS_UNSUCCESSFUL;
  UCHAR number = UCHAR(streamingInterface);
  bool inside = false;
  for (ULONG off = 0, n; (n = DescriptorLengthAt(configuration, length, off)) != 0; off += n) {
    const UCHAR* d = configuration + off;
    if (!inside) {
      inside = IsInterfaceDescriptor(d, n) && d[2] == number;
      continue;
    }
    if (EndsInterface(d, n, number)) break;  // endpoints of other interfaces are not ours
    if (!IsEndpointDescriptor(d, n)) continue;
    ULONG t = d[3] & USB_ENDPOINT_TYPE_MASK;
    if (t != kEndpointIsochronous && t != kEndpointBulk) return STATUS_INVALID_PARAMETER;
    *type = t;
    if (t == kEndpointBulk) *bulkPacketSize = ReadLe16(d + 4);
    return STATUS_SUCCESS;
  }
  return STATUS_UNSUCCESSFUL;
}

ULONG EffectivePacketSize(USHORT wMaxPacketSize) {
  ULONG extra = (wMaxPacketSize >> 11) & 3;
  if (extra == 3) return 0;
  return ULONG(wMaxPacketSize & 0x7FF) * (1 + extra);
}

NTSTATUS SelectAlternateSetting(StreamEngine* engine, ULONG mode, ULONG payloadSize,
                                ULONG packets, ULONG* packetSize) {
  *packetSize = 0;
  const UCHAR* cfg = engine->configuration;
  ULONG length = engine->configurationLength;
  if (!cfg || engine->streamingInterface < 0) return STATUS_UNSUCCESSFUL;
  UCHAR number = UCHAR(engine->streamingInterface);
  bool isochronous = mode == kEndpointIsochronous && payloadSize != 0;

  const UCHAR* chosen = nullptr;
  ULONG effective = 0;
  for (ULONG off = 0, n; (n = DescriptorLengthAt(cfg, length, off)) != 0 && !chosen; off += n) {
    const UCHAR* d = cfg + off;
    if (!IsInterfaceDescriptor(d, n) || d[2] != number) continue;
    if (!isochronous) {
      if (d[3] == 0) chosen = d;
      continue;
    }
    if (d[3] == 0) continue;
    // The alternate setting's endpoint: the first endpoint descriptor before
    // the next interface descriptor.
    for (ULONG e = off + n, m; (m = DescriptorLengthAt(cfg, length, e)) != 0; e += m) {
      const UCHAR* ep = cfg + e;
      if (ep[1] == USB_INTERFACE_DESCRIPTOR_TYPE ||
          ep[1] == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE)
        break;
      if (!IsEndpointDescriptor(ep, m)) continue;
      ULONG size = EffectivePacketSize(ReadLe16(ep + 4));
      if (size != 0 && size >= payloadSize) {
        chosen = d;
        effective = size;
      }
      break;
    }
  }
  if (!chosen) return STATUS_UNSUCCESSFUL;

  ULONG pipes = chosen[4];
  ULONG urbLength = offsetof(_URB_SELECT_INTERFACE, Interface) + 24 * (pipes + 1);
  PURB urb = AllocateSelectUrb(urbLength, URB_FUNCTION_SELECT_INTERFACE);
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  _URB_SELECT_INTERFACE& u = urb->UrbSelectInterface;
  u.ConfigurationHandle = engine->configurationHandle;
  u.Interface.Length = USHORT(24 * (pipes + 1));
  u.Interface.InterfaceNumber = number;
  u.Interface.AlternateSetting = chosen[3];
  u.Interface.NumberOfPipes = pipes;
  for (ULONG p = 0; p < pipes; ++p) {
    u.Interface.Pipes[p].MaximumPacketSize = 0;
    u.Interface.Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    u.Interface.Pipes[p].PipeFlags = 0;
  }
  if (pipes > 0) {
    if (mode == kEndpointBulk && payloadSize != 0) {
      u.Interface.Pipes[0].MaximumTransferSize = payloadSize;
      u.Interface.Pipes[0].MaximumPacketSize = engine->bulkPacketSize;
    } else if (isochronous) {
      u.Interface.Pipes[0].MaximumPacketSize = USHORT(effective);
      ULONGLONG transfer = ULONGLONG(effective) * packets;
      u.Interface.Pipes[0].MaximumTransferSize = transfer > 0xFFFFFFFFull ? 0xFFFFFFFFu : ULONG(transfer);
    }
  }
  NTSTATUS status = SubmitUrb(engine, urb);
  if (NT_SUCCESS(status)) {
    engine->streamPipe = pipes > 0 ? u.Interface.Pipes[0].PipeHandle : nullptr;
    if (isochronous) *packetSize = effective;
  }
  ExFreePoolWithTag(urb, kTagBuffer);
  return status;
}

NTSTATUS NegotiateStream(StreamEngine* engine, ULONG* payloadSize) {
  *payloadSize = 0;
  const FrameFormat* entry = nullptr;
  for (ULONG i = 0; i < engine->formatCount && !entry; ++i) {
    const FrameFormat& f = engine->formatTable[i];
    if (IsEqualGUID(f.outputSubtype, engine->currentFormat.outputSubtype) &&
        f.outputWidth == engine->currentFormat.outputWidth &&
        f.outputHeight == engine->currentFormat.outputHeight)
      entry = &f;
  }
  if (!entry || engine->streamingInterface < 0) return STATUS_UNSUCCESSFUL;
  USHORT index = USHORT(engine->streamingInterface & 0xFF);
  USHORT probe = USHORT(kVsProbeControl << 8);
  USHORT commit = USHORT(kVsCommitControl << 8);

  UCHAR control[34];
  RtlZeroMemory(control, sizeof control);
  ULONG got = 0;
  // Every reply must be the whole control: a short one would leave our own
  // or stale bytes where the camera's answer belongs.
  if (!NT_SUCCESS(ClassRequest(engine, GET_CUR, probe, index, control, kProbeControlLength, TRUE, &got)) ||
      got != kProbeControlLength)
    return STATUS_UNSUCCESSFUL;
  // The interval the pin asks for where the camera offers it, else the
  // camera's default for the entry.
  const ULONG asked = engine->requestedInterval;
  const ULONG interval =
      asked && asked >= entry->minInterval && asked <= entry->maxInterval ? asked : entry->defaultInterval;
  control[2] = UCHAR(entry->formatIndex);
  control[3] = UCHAR(entry->frameIndex);
  control[4] = UCHAR(interval);
  control[5] = UCHAR(interval >> 8);
  control[6] = UCHAR(interval >> 16);
  control[7] = UCHAR(interval >> 24);
  if (!NT_SUCCESS(ClassRequest(engine, SET_CUR, probe, index, control, kProbeControlLength, FALSE)))
    return STATUS_UNSUCCESSFUL;
  if (!NT_SUCCESS(ClassRequest(engine, GET_CUR, probe, index, control, kProbeControlLength, TRUE, &got)) ||
      got != kProbeControlLength)
    return STATUS_UNSUCCESSFUL;
  ULONG payload = ReadLe32(control + 22);
  if (payload == 0) return STATUS_UNSUCCESSFUL;
  if (!NT_SUCCESS(ClassRequest(engine, SET_CUR, commit, index, control, kProbeControlLength, FALSE)))
    return STATUS_UNSUCCESSFUL;
  // The rate the camera runs at: its answer, kept within what the entry
  // offers (a camera answering 0 runs at what was proposed).
  ULONG accepted = ReadLe32(control + 4);
  if (!accepted) accepted = interval;
  if (entry->minInterval && accepted < entry->minInterval) accepted = entry->minInterval;
  if (entry->maxInterval && accepted > entry->maxInterval) accepted = entry->maxInterval;
  WriteULongNoFence(&engine->acceptedInterval, accepted);
  *payloadSize = payload;
  return STATUS_SUCCESS;
}
