// The bus stand-in: malformed URBs refused before they reach the device,
// selections checked against the configuration, and streaming transfers
// (isochronous packets on the bus's (micro)frame schedule, bulk and
// interrupt transfers, cancellation, stalls with pipe reset).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "platform/host/host_control.h"
#include "platform/host/usb_bus.h"
#include "platform/wdk.h"
#include "tests/usb/camera_rig.h"

namespace {

using host::UsbRequestKind;

// Sends a URB and waits for its completion.
NTSTATUS Send(host::UsbBus& bus, URB* urb, ULONG ioctl = IOCTL_INTERNAL_USB_SUBMIT_URB) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(ioctl, bus.DeviceObject(), nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  NTSTATUS s = IofCallDriver(bus.DeviceObject(), irp);
  if (s == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  return s == STATUS_PENDING ? iosb.Status : s;
}

// A select-configuration URB with one interface block per entry of `pipes`
// (interfaces 0, 1, ... at alternate setting 0, that many pipes each).
std::vector<uint8_t> SelectConfigurationUrb(const std::vector<uint8_t>& cfg, const std::vector<ULONG>& pipes) {
  size_t size = 40;
  for (ULONG p : pipes) size += 24 * (p + 1);
  std::vector<uint8_t> raw(size);
  auto& u = reinterpret_cast<URB*>(raw.data())->UrbSelectConfiguration;
  u.Hdr.Length = USHORT(raw.size());
  u.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  u.ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<uint8_t*>(cfg.data()));
  size_t off = 40;
  for (size_t i = 0; i < pipes.size(); ++i) {
    auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(raw.data() + off);
    info->InterfaceNumber = UCHAR(i);
    info->NumberOfPipes = pipes[i];
    info->Length = USHORT(24 * (pipes[i] + 1));
    off += info->Length;
  }
  return raw;
}

// A select-interface URB with one pipe (56 + 24 bytes), in a block as large
// as the URB union so that the union's members can be named.
std::vector<uint8_t> SelectInterfaceUrb(PVOID configuration, UCHAR number, UCHAR alt) {
  std::vector<uint8_t> block(std::max<size_t>(56 + 24, sizeof(URB)));
  auto& si = reinterpret_cast<URB*>(block.data())->UrbSelectInterface;
  si.Hdr.Length = USHORT(56 + 24);
  si.Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
  si.ConfigurationHandle = configuration;
  si.Interface.Length = 48;
  si.Interface.InterfaceNumber = number;
  si.Interface.AlternateSetting = alt;
  si.Interface.NumberOfPipes = 1;
  return block;
}

URB Descriptor(void* buffer, ULONG length) {
  URB u{};
  auto& d = u.UrbControlDescriptorRequest;
  d.Hdr.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
  d.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  d.TransferBuffer = buffer;
  d.TransferBufferLength = length;
  d.DescriptorType = 1;
  return u;
}

class UsbBusTest : public rig::UsbTest {
 protected:
  std::unique_ptr<rig::Interposer> camera = rig::CameraFor(rig::CameraConfiguration(), true);
  host::UsbBus bus{camera.get()};
};

TEST_F(UsbBusTest, MalformedControlUrbsAndWrongIoctlsNeverReachTheDevice) {
  uint8_t buffer[18];
  URB good = Descriptor(buffer, 18);
  EXPECT_EQ(Send(bus, &good), STATUS_SUCCESS);
  EXPECT_EQ(good.UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(good.UrbControlDescriptorRequest.TransferBufferLength, 18u);
  URB bad[5] = {Descriptor(buffer, 18), Descriptor(nullptr, 18), Descriptor(buffer, 18), Descriptor(buffer, 0x10000),
                Descriptor(buffer, 18)};
  bad[0].UrbHeader.Length = 128;
  bad[2].UrbControlDescriptorRequest.TransferBufferMDL = buffer;
  bad[4].UrbHeader.Function = 0x7F;
  for (URB& u : bad) {
    EXPECT_EQ(Send(bus, &u), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(u.UrbHeader.Status, &u == &bad[4] ? USBD_STATUS_INVALID_URB_FUNCTION : USBD_STATUS_INVALID_PARAMETER);
  }
  EXPECT_EQ(bus.Rejected(), 5u);
  URB vendor{};
  auto& v = vendor.UrbControlVendorClassRequest;
  v.Hdr.Length = sizeof v;
  v.Hdr.Function = URB_FUNCTION_VENDOR_ENDPOINT;
  v.TransferFlags = 0x80;  // not a transfer flag
  EXPECT_EQ(Send(bus, &vendor), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(bus.Count(UsbRequestKind::Vendor), 0u);
  EXPECT_EQ(Send(bus, &good, 0x220007), STATUS_INVALID_DEVICE_REQUEST) << "not the URB ioctl";
  EXPECT_EQ(bus.DeviceRequests(), 1u) << "nothing malformed reaches the device";
}

TEST_F(UsbBusTest, SelectionsMustDescribeEveryInterfaceExactlyAndNameTheCurrentConfiguration) {
  const auto& cfg = camera->ConfigurationDescriptor();
  // A pipe interface 1 does not have (the block sized for it), interface
  // listed twice, no such alternate setting, an interface missing, a URB
  // length short of its interfaces.
  for (int b = 0; b < 5; ++b) {
    auto bad = SelectConfigurationUrb(cfg, {1, 0});
    if (b == 0) bad.resize(bad.size() + 24);
    auto* i = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(bad.data() + 88);
    auto& length = reinterpret_cast<URB*>(bad.data())->UrbHeader.Length;
    if (b == 0) i->NumberOfPipes = 1, i->Length = 48, length = USHORT(bad.size());
    if (b == 1) i->InterfaceNumber = 0;
    if (b == 2) i->AlternateSetting = 9;
    if (b >= 3) length = b == 3 ? 88 : 100;
    if (b == 3) bad.resize(88);
    EXPECT_EQ(Send(bus, reinterpret_cast<URB*>(bad.data())), STATUS_INVALID_PARAMETER) << b;
    EXPECT_EQ(bus.DeviceRequests(), 0u) << b;
  }
  auto raw = SelectConfigurationUrb(cfg, {1, 0});
  ASSERT_EQ(Send(bus, reinterpret_cast<URB*>(raw.data())), STATUS_SUCCESS) << bus.LastRejectionReason();
  EXPECT_EQ(reinterpret_cast<URB*>(raw.data())->UrbSelectConfiguration.ConfigurationHandle, bus.ConfigurationHandle());
  auto* i0 = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(raw.data() + 40);
  EXPECT_TRUE(bus.PipeHandleValid(i0->Pipes[0].PipeHandle));
  auto bad = SelectConfigurationUrb(cfg, {1, 0});
  reinterpret_cast<USBD_INTERFACE_INFORMATION*>(bad.data() + 40)->NumberOfPipes = 2;
  EXPECT_EQ(Send(bus, reinterpret_cast<URB*>(bad.data())), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(bus.PipeHandleValid(i0->Pipes[0].PipeHandle)) << "a refused selection keeps the current pipes";

  std::vector<uint8_t> block = SelectInterfaceUrb(reinterpret_cast<PVOID>(0x99), 1, 2);
  auto& si = reinterpret_cast<URB*>(block.data())->UrbSelectInterface;
  URB* u = reinterpret_cast<URB*>(block.data());
  EXPECT_EQ(Send(bus, u), STATUS_INVALID_PARAMETER);
  si.ConfigurationHandle = bus.ConfigurationHandle();
  ASSERT_EQ(Send(bus, u), STATUS_SUCCESS) << bus.LastRejectionReason();
  PVOID first = si.Interface.Pipes[0].PipeHandle;
  EXPECT_TRUE(bus.PipeHandleValid(first));
  EXPECT_EQ(si.Interface.Pipes[0].MaximumPacketSize, 512);
  // Selecting again replaces the interface's pipes: the old handle is stale.
  ASSERT_EQ(Send(bus, u), STATUS_SUCCESS);
  EXPECT_FALSE(bus.PipeHandleValid(first));
  EXPECT_EQ(camera->cam->CurrentAlternateSetting(1), 2);
}

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
    std::vector<uint8_t> raw = SelectConfigurationUrb(cfg, {1, 1, 0});
    ASSERT_EQ(Send(bus, reinterpret_cast<URB*>(raw.data())), STATUS_SUCCESS);
    std::vector<uint8_t> si = SelectInterfaceUrb(bus.ConfigurationHandle(), 2, 1);
    ASSERT_EQ(Send(bus, reinterpret_cast<URB*>(si.data())), STATUS_SUCCESS);
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

TEST_P(BusStream, BulkAndInterruptCancelStallAndReset) {
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
  EXPECT_EQ(Send(bus, &reset), STATUS_SUCCESS);
  bulk.Bulk(pipe[2], 4096);
  bulk.Submit(bus);
  ASSERT_TRUE(bulk.Wait());
  EXPECT_EQ(bulk.irp->IoStatus.Status, STATUS_SUCCESS);

  // Refused URBs complete at once with a final status.
  bulk.Bulk(pipe[3], 4096);
  EXPECT_EQ(bulk.Submit(bus), STATUS_INVALID_PARAMETER) << "bulk URB on the isochronous pipe";
  EXPECT_EQ(bulk.completions.load(), 5);
}

INSTANTIATE_TEST_SUITE_P(Speeds, BusStream, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "HighSpeed" : "FullSpeed"; });

}  // namespace
