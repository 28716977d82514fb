// Streaming transfers on the bus stand-in: isochronous packets on the bus's
// (micro)frame schedule, bulk and interrupt transfers, cancellation, stalls
// with pipe reset, and unplug.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "platform/host/host_control.h"
#include "platform/host/usb_bus.h"
#include "platform/wdk.h"

namespace {

// Interface 0: interrupt IN 0x81. Interface 1: bulk IN 0x82. Interface 2:
// alternate setting 0 without endpoints, 1 with isochronous IN 0x83
// (1024 bytes per (micro)frame).
std::vector<uint8_t> Configuration() {
  std::vector<uint8_t> c = {9, 2, 0, 0, 3, 1, 0, 0x80, 50,
                            9, 4, 0, 0, 1, 0xFF, 0, 0, 0, 7, 5, 0x81, 3, 16, 0, 8,
                            9, 4, 1, 0, 1, 0xFF, 0, 0, 0, 7, 5, 0x82, 2, 0, 2, 0,
                            9, 4, 2, 0, 0, 0xFF, 0, 0, 0,
                            9, 4, 2, 1, 1, 0xFF, 0, 0, 0, 7, 5, 0x83, 5, 0, 4, 1};
  c[2] = uint8_t(c.size());
  return c;
}

class Model : public host::UsbDeviceModel {
 public:
  explicit Model(bool hs) : hs_(hs) {}
  bool HighSpeed() const override { return hs_; }
  const std::vector<uint8_t>& DeviceDescriptor() const override { return dev_; }
  const std::vector<uint8_t>& ConfigurationDescriptor() const override { return cfg_; }
  host::UsbControlResult Control(const host::UsbSetupPacket&, uint8_t*) override { return {}; }
  host::UsbInResult InTransfer(uint8_t ep, uint64_t t, uint8_t* data, uint32_t capacity) override {
    std::lock_guard<std::mutex> g(m);
    times.push_back(t);
    host::UsbInResult r;
    r.kind = ep == 0x81 ? interruptReply : ep == 0x82 ? bulkReply : host::UsbInResult::kData;
    if (ep == 0x83 && times.size() % 3 == 0) r.kind = host::UsbInResult::kError;
    r.length = ep == 0x83 ? 1500 : 7;  // more than an isochronous packet holds
    std::memset(data, int(times.size() & 0xFF), std::min<uint32_t>(r.length, capacity));
    return r;
  }
  std::mutex m;
  std::vector<uint64_t> times;
  host::UsbInResult::Kind interruptReply = host::UsbInResult::kNak;
  host::UsbInResult::Kind bulkReply = host::UsbInResult::kData;

 private:
  bool hs_;
  std::vector<uint8_t> dev_ = std::vector<uint8_t>(18);
  std::vector<uint8_t> cfg_ = Configuration();
};

NTSTATUS Sync(host::UsbBus& bus, URB* urb) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, bus.DeviceObject(), nullptr, 0,
                                           nullptr, 0, TRUE, &event, &iosb);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  NTSTATUS s = IofCallDriver(bus.DeviceObject(), irp);
  if (s == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  return s == STATUS_PENDING ? iosb.Status : s;
}

// One transfer in flight: IRP, URB block and buffer, completion signals.
struct Transfer {
  PIRP irp = IoAllocateIrp(2, FALSE);
  std::vector<uint8_t> urbBlock;
  std::vector<uint8_t> buffer;
  KEVENT done;
  std::atomic<int> completions{0};
  std::atomic<int> completionIrql{-1};
  Transfer() { KeInitializeEvent(&done, NotificationEvent, FALSE); }
  ~Transfer() { IoFreeIrp(irp); }
  URB* Urb() { return reinterpret_cast<URB*>(urbBlock.data()); }
  static NTSTATUS Completed(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto* t = static_cast<Transfer*>(context);
    t->completionIrql = KeGetCurrentIrql();
    t->completions++;
    KeSetEvent(&t->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  NTSTATUS Submit(host::UsbBus& bus) {
    IoReuseIrp(irp, STATUS_UNSUCCESSFUL);
    KeClearEvent(&done);
    IoSetCompletionRoutine(irp, Completed, this, TRUE, TRUE, TRUE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb();
    return IofCallDriver(bus.DeviceObject(), irp);
  }
  bool Wait(int ms = 5000) {
    LARGE_INTEGER t;
    t.QuadPart = -LONGLONG(ms) * 10000;
    return KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS;
  }
  void Isoch(USBD_PIPE_HANDLE pipe, ULONG packets, ULONG packetSize) {
    urbBlock.assign(sizeof(_URB_ISOCH_TRANSFER) + 12 * packets, 0);
    buffer.assign(packets * packetSize, 0xEE);
    auto& u = Urb()->UrbIsochronousTransfer;
    u.Hdr.Length = USHORT(urbBlock.size());
    u.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    u.PipeHandle = pipe;
    u.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
    u.TransferBufferLength = ULONG(buffer.size());
    u.TransferBuffer = buffer.data();
    u.NumberOfPackets = packets;
    for (ULONG i = 0; i < packets; ++i) u.IsoPacket[i].Offset = i * packetSize;
  }
  void Bulk(USBD_PIPE_HANDLE pipe, ULONG length) {
    urbBlock.assign(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), 0);
    buffer.assign(length, 0);
    auto& u = Urb()->UrbBulkOrInterruptTransfer;
    u.Hdr.Length = USHORT(urbBlock.size());
    u.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    u.PipeHandle = pipe;
    u.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    u.TransferBufferLength = length;
    u.TransferBuffer = buffer.data();
  }
};

class BusStream : public ::testing::TestWithParam<bool> {
 protected:
  Model model{GetParam()};
  host::UsbBus bus{&model};
  USBD_PIPE_HANDLE pipe[4] = {};  // by endpoint number

  void SetUp() override {
    std::vector<uint8_t> cfg = Configuration();
    std::vector<uint8_t> raw(40 + 48 + 48 + 24);
    auto& u = reinterpret_cast<URB*>(raw.data())->UrbSelectConfiguration;
    u.Hdr.Length = USHORT(raw.size());
    u.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    u.ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(cfg.data());
    size_t off = 40;
    for (UCHAR i = 0; i < 3; ++i) {
      auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(raw.data() + off);
      info->InterfaceNumber = i;
      info->NumberOfPipes = i < 2 ? 1 : 0;
      info->Length = USHORT(24 * (info->NumberOfPipes + 1));
      off += info->Length;
    }
    ASSERT_EQ(Sync(bus, reinterpret_cast<URB*>(raw.data())), STATUS_SUCCESS);
    std::vector<uint8_t> si(offsetof(_URB_SELECT_INTERFACE, Interface) + 48);
    auto& s = reinterpret_cast<URB*>(si.data())->UrbSelectInterface;
    s.Hdr.Length = USHORT(si.size());
    s.Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
    s.ConfigurationHandle = bus.ConfigurationHandle();
    s.Interface.Length = 48;
    s.Interface.InterfaceNumber = 2;
    s.Interface.AlternateSetting = 1;
    s.Interface.NumberOfPipes = 1;
    ASSERT_EQ(Sync(bus, reinterpret_cast<URB*>(si.data())), STATUS_SUCCESS);
    for (const host::UsbBusPipe& p : bus.Pipes()) pipe[p.endpointAddress & 3] = p.handle;
    ASSERT_TRUE(pipe[1] && pipe[2] && pipe[3]);
  }
  void TearDown() override { host::SetClockRate(1.0); }
};

TEST_P(BusStream, IsochronousPacketsFollowTheFrameScheduleWithLengthStatusAndOffset) {
  const ULONG packets = GetParam() ? 64 : 16, size = 1024;
  uint64_t frame = GetParam() ? 1250 : 10000;
  Transfer t;
  t.Isoch(pipe[3], packets, size);
  uint64_t t0 = host::ClockNow100ns();
  EXPECT_EQ(t.Submit(bus), STATUS_PENDING);
  ASSERT_TRUE(t.Wait());
  EXPECT_GE(host::ClockNow100ns() - t0, (packets - 1) * frame) << "one packet per (micro)frame";
  EXPECT_EQ(t.irp->IoStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(t.completionIrql.load(), DISPATCH_LEVEL);
  auto& u = t.Urb()->UrbIsochronousTransfer;
  EXPECT_EQ(u.Hdr.Status, USBD_STATUS_SUCCESS);
  ULONG errors = 0;
  for (ULONG i = 0; i < packets; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(u.IsoPacket[i].Offset, i * size);
    EXPECT_EQ(u.IsoPacket[i].Length, size) << "capped at the packet size";
    bool error = (i + 1) % 3 == 0;
    EXPECT_EQ(u.IsoPacket[i].Status, error ? USBD_STATUS_CRC : USBD_STATUS_SUCCESS);
    errors += error;
    EXPECT_EQ(t.buffer[i * size + size - 1], uint8_t(i + 1)) << "the packet's own bytes";
  }
  EXPECT_EQ(u.ErrorCount, errors);
  std::lock_guard<std::mutex> g(model.m);
  for (size_t i = 1; i < model.times.size(); ++i) EXPECT_EQ(model.times[i] - model.times[i - 1], frame);
}

TEST_P(BusStream, BulkAndInterruptCancelStallResetAndUnplug) {
  Transfer bulk, irq;
  bulk.Bulk(pipe[2], 4096);
  EXPECT_EQ(bulk.Submit(bus), STATUS_PENDING);
  ASSERT_TRUE(bulk.Wait());
  EXPECT_EQ(bulk.irp->IoStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(bulk.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 7u) << "a short payload";

  // An interrupt read waits while the device has nothing; cancel ends it.
  irq.Bulk(pipe[1], 16);
  EXPECT_EQ(irq.Submit(bus), STATUS_PENDING);
  EXPECT_FALSE(irq.Wait(20));
  EXPECT_TRUE(IoCancelIrp(irq.irp));
  ASSERT_TRUE(irq.Wait());
  EXPECT_EQ(irq.irp->IoStatus.Status, STATUS_CANCELLED);
  EXPECT_EQ(irq.Urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_FALSE(IoCancelIrp(irq.irp)) << "completed: nothing left to cancel";

  // A stall halts the endpoint until the pipe is reset.
  model.bulkReply = host::UsbInResult::kStall;
  bulk.Bulk(pipe[2], 4096);
  bulk.Submit(bus);
  ASSERT_TRUE(bulk.Wait());
  EXPECT_EQ(bulk.irp->IoStatus.Status, STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(bus.PipeHalted(pipe[2]));
  model.bulkReply = host::UsbInResult::kData;
  bulk.Bulk(pipe[2], 4096);
  bulk.Submit(bus);
  ASSERT_TRUE(bulk.Wait());
  EXPECT_EQ(bulk.Urb()->UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
  URB reset{};
  reset.UrbPipeRequest.Hdr.Length = sizeof(_URB_PIPE_REQUEST);
  reset.UrbPipeRequest.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
  reset.UrbPipeRequest.PipeHandle = pipe[2];
  EXPECT_EQ(Sync(bus, &reset), STATUS_SUCCESS);
  bulk.Bulk(pipe[2], 4096);
  bulk.Submit(bus);
  ASSERT_TRUE(bulk.Wait());
  EXPECT_EQ(bulk.irp->IoStatus.Status, STATUS_SUCCESS);

  // Refused URBs complete at once with a final status.
  bulk.Bulk(pipe[3], 4096);
  EXPECT_EQ(bulk.Submit(bus), STATUS_INVALID_PARAMETER) << "bulk URB on the isochronous pipe";
  EXPECT_EQ(bulk.completions.load(), 5);

  // Unplug completes what is queued and refuses what comes later.
  Transfer iso;
  iso.Isoch(pipe[3], 1024, 1024);
  irq.Bulk(pipe[1], 16);
  EXPECT_EQ(irq.Submit(bus), STATUS_PENDING);
  EXPECT_EQ(iso.Submit(bus), STATUS_PENDING);
  bus.Unplug();
  ASSERT_TRUE(irq.Wait());
  ASSERT_TRUE(iso.Wait());
  EXPECT_EQ(irq.irp->IoStatus.Status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(iso.irp->IoStatus.Status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(irq.Submit(bus), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(bus.QueuedTransfers(), 0u);
  EXPECT_EQ(bus.CompletedWith(STATUS_PENDING), 0u);
}

INSTANTIATE_TEST_SUITE_P(Speeds, BusStream, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "HighSpeed" : "FullSpeed"; });

}  // namespace
