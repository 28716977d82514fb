// Kernel-streaming vocabulary the driver uses: device, filter and pin
// objects with their descriptors and dispatch tables, object bags, data
// formats and ranges, automation tables, stream headers and pointers, the
// reference clock and KS workers. Layouts are the kit's x64 layouts; the
// ones the driver relies on are pinned below. The host keeps each object's
// private state beside the public record (platform/host/ks_*.cpp).
#pragma once

#include "platform/host/io.h"

typedef enum _DEVICE_POWER_STATE {
  PowerDeviceUnspecified = 0,
  PowerDeviceD0,
  PowerDeviceD1,
  PowerDeviceD2,
  PowerDeviceD3,
  PowerDeviceMaximum
} DEVICE_POWER_STATE;

typedef enum _SYSTEM_POWER_STATE {
  PowerSystemUnspecified = 0,
  PowerSystemWorking,
  PowerSystemSleeping1,
  PowerSystemSleeping2,
  PowerSystemSleeping3,
  PowerSystemHibernate,
  PowerSystemShutdown,
  PowerSystemMaximum
} SYSTEM_POWER_STATE;

typedef enum _POWER_ACTION {
  PowerActionNone = 0,
  PowerActionReserved,
  PowerActionSleep,
  PowerActionHibernate,
  PowerActionShutdown,
  PowerActionShutdownReset,
  PowerActionShutdownOff,
  PowerActionWarmEject
} POWER_ACTION;

typedef ULONG DWORD;
typedef LONGLONG REFERENCE_TIME;
typedef PVOID PSECURITY_DESCRIPTOR;
typedef PVOID HANDLE;

typedef struct tagRECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
} RECT;

// Only the capability the driver sets; the other bits stay zero.
typedef struct _DEVICE_CAPABILITIES {
  USHORT Size;
  USHORT Version;
  ULONG DeviceD1 : 1;
  ULONG DeviceD2 : 1;
  ULONG LockSupported : 1;
  ULONG EjectSupported : 1;
  ULONG Removable : 1;
  ULONG DockDevice : 1;
  ULONG UniqueID : 1;
  ULONG SilentInstall : 1;
  ULONG RawDeviceOK : 1;
  ULONG SurpriseRemovalOK : 1;
  ULONG WakeFromD0 : 1;
  ULONG WakeFromD1 : 1;
  ULONG WakeFromD2 : 1;
  ULONG WakeFromD3 : 1;
  ULONG HardwareDisabled : 1;
  ULONG NonDynamic : 1;
  ULONG WarmEjectSupported : 1;
  ULONG NoDisplayInUI : 1;
  ULONG Reserved1 : 1;
  ULONG WakeFromInterrupt : 1;
  ULONG SecureDevice : 1;
  ULONG ChildOfVgaEnabledBridge : 1;
  ULONG DecodeIoOnBoot : 1;
  ULONG Reserved : 9;
  ULONG Address;
  ULONG UINumber;
  DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
  SYSTEM_POWER_STATE SystemWake;
  DEVICE_POWER_STATE DeviceWake;
  ULONG D1Latency;
  ULONG D2Latency;
  ULONG D3Latency;
} DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;

typedef struct _CM_RESOURCE_LIST* PCM_RESOURCE_LIST;

// ---- identifiers, properties ----
typedef struct {
  union {
    struct {
      GUID Set;
      ULONG Id;
      ULONG Flags;
    };
    LONGLONG Alignment;
  };
} KSIDENTIFIER, *PKSIDENTIFIER, KSPROPERTY, *PKSPROPERTY, KSMETHOD, KSEVENT;
static_assert(sizeof(KSIDENTIFIER) == 24 && alignof(KSIDENTIFIER) == 8, "KSIDENTIFIER layout");

typedef struct {
  KSPROPERTY Property;
  ULONG NodeId;
  ULONG Reserved;
} KSP_NODE, *PKSP_NODE;

// The pin-instance request an intersect handler receives.
typedef struct {
  KSPROPERTY Property;
  ULONG PinId;
  ULONG Reserved;
} KSP_PIN, *PKSP_PIN;

#define KSPROPERTY_TYPE_GET 0x00000001
#define KSPROPERTY_TYPE_SET 0x00000002
#define KSPROPERTY_TYPE_BASICSUPPORT 0x00000200
#define KSPROPERTY_TYPE_TOPOLOGY 0x10000000

typedef struct {
  ULONG Size;
  ULONG Count;
} KSMULTIPLE_ITEM, *PKSMULTIPLE_ITEM;

typedef NTSTATUS (*PFNKSHANDLER)(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);

typedef struct {
  GUID Set;
  ULONG Id;
  ULONG Flags;
} KSPROPERTY_MEMBERS_TYPE_ID;

typedef struct {
  ULONG MembersFlags;
  ULONG MembersSize;
  ULONG MembersCount;
  ULONG Flags;
} KSPROPERTY_MEMBERSHEADER;

#define KSPROPERTY_MEMBER_RANGES 0x00000001
#define KSPROPERTY_MEMBER_STEPPEDRANGES 0x00000002
#define KSPROPERTY_MEMBER_VALUES 0x00000003
#define KSPROPERTY_MEMBER_FLAG_DEFAULT 0x00000001

typedef struct {
  ULONG MembersFlags;
  ULONG MembersSize;
  ULONG MembersCount;
  ULONG Flags;
  const VOID* Members;
} KSPROPERTY_MEMBERSLIST;

typedef struct {
  ULONG SteppingDelta;
  ULONG Reserved;
  LONG SignedMinimum;
  LONG SignedMaximum;
} KSPROPERTY_STEPPING_LONG;

typedef struct {
  KSIDENTIFIER PropTypeSet;
  ULONG MembersListCount;
  const KSPROPERTY_MEMBERSLIST* MembersList;
} KSPROPERTY_VALUES;

typedef struct {
  ULONG PropertyId;
  union {
    PFNKSHANDLER GetPropertyHandler;
    BOOLEAN GetSupported;
  };
  ULONG MinProperty;
  ULONG MinData;
  union {
    PFNKSHANDLER SetPropertyHandler;
    BOOLEAN SetSupported;
  };
  const KSPROPERTY_VALUES* Values;
  ULONG RelationsCount;
  const KSPROPERTY* Relations;
  PFNKSHANDLER SupportHandler;
  ULONG SerializedSize;
} KSPROPERTY_ITEM, *PKSPROPERTY_ITEM;

typedef struct {
  const GUID* Set;
  ULONG PropertiesCount;
  const KSPROPERTY_ITEM* PropertyItem;
  ULONG FastIoCount;
  const VOID* FastIoTable;
} KSPROPERTY_SET, *PKSPROPERTY_SET;

typedef struct {
  ULONG PropertySetsCount;
  ULONG PropertyItemSize;
  const KSPROPERTY_SET* PropertySets;
  ULONG MethodSetsCount;
  ULONG MethodItemSize;
  const VOID* MethodSets;
  ULONG EventSetsCount;
  ULONG EventItemSize;
  const VOID* EventSets;
} KSAUTOMATION_TABLE, *PKSAUTOMATION_TABLE;

// ---- data formats and ranges ----
typedef union {
  struct {
    ULONG FormatSize;
    ULONG Flags;
    ULONG SampleSize;
    ULONG Reserved;
    GUID MajorFormat;
    GUID SubFormat;
    GUID Specifier;
  };
  LONGLONG Alignment;
} KSDATAFORMAT, *PKSDATAFORMAT, KSDATARANGE, *PKSDATARANGE;

typedef struct {
  ULONG Count;
  ULONG Flags;
} KSMULTIPLE_ITEM_ATTRIBUTES;
typedef PVOID PKSMULTIPLE_ITEM_ATTR;

typedef struct tagKS_BITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  USHORT biPlanes;
  USHORT biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
} KS_BITMAPINFOHEADER, *PKS_BITMAPINFOHEADER;

#define KS_BI_RGB 0L

typedef struct tagKS_VIDEOINFOHEADER {
  RECT rcSource;
  RECT rcTarget;
  DWORD dwBitRate;
  DWORD dwBitErrorRate;
  REFERENCE_TIME AvgTimePerFrame;
  KS_BITMAPINFOHEADER bmiHeader;
} KS_VIDEOINFOHEADER, *PKS_VIDEOINFOHEADER;

typedef struct tagSIZE {
  LONG cx;
  LONG cy;
} SIZE;

typedef struct _KS_VIDEO_STREAM_CONFIG_CAPS {
  GUID guid;
  ULONG VideoStandard;
  SIZE InputSize;
  SIZE MinCroppingSize;
  SIZE MaxCroppingSize;
  int CropGranularityX;
  int CropGranularityY;
  int CropAlignX;
  int CropAlignY;
  SIZE MinOutputSize;
  SIZE MaxOutputSize;
  int OutputGranularityX;
  int OutputGranularityY;
  int StretchTapsX;
  int StretchTapsY;
  int ShrinkTapsX;
  int ShrinkTapsY;
  LONGLONG MinFrameInterval;
  LONGLONG MaxFrameInterval;
  LONG MinBitsPerSecond;
  LONG MaxBitsPerSecond;
} KS_VIDEO_STREAM_CONFIG_CAPS, *PKS_VIDEO_STREAM_CONFIG_CAPS;

typedef struct tagKS_DATARANGE_VIDEO {
  KSDATARANGE DataRange;
  BOOLEAN bFixedSizeSamples;
  UCHAR reserved1[3];
  BOOLEAN bTemporalCompression;
  UCHAR reserved2[3];
  DWORD StreamDescriptionFlags;
  DWORD MemoryAllocationFlags;
  KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
  KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATARANGE_VIDEO, *PKS_DATARANGE_VIDEO;

typedef struct tagKS_DATAFORMAT_VIDEOINFOHEADER {
  KSDATAFORMAT DataFormat;
  KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATAFORMAT_VIDEOINFOHEADER, *PKS_DATAFORMAT_VIDEOINFOHEADER;

static_assert(sizeof(KSDATAFORMAT) == 64, "KSDATAFORMAT is 64 bytes");
static_assert(sizeof(KS_BITMAPINFOHEADER) == 40, "bitmap header is 40 bytes");
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88, "48 bytes before the bitmap header");
static_assert(offsetof(KS_VIDEOINFOHEADER, bmiHeader) == 48, "48 bytes before the bitmap header");
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128, "ConfigCaps is 128 bytes");
static_assert(offsetof(KS_DATARANGE_VIDEO, ConfigCaps) == 80, "ConfigCaps follows 80 bytes");
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296, "KS_DATARANGE_VIDEO is 296 bytes");
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152, "video format is 152 bytes");

// ---- allocator framing ----
typedef struct {
  ULONG MinFrameSize;
  ULONG MaxFrameSize;
  ULONG Stepping;
} KS_FRAMING_RANGE;

typedef struct {
  KS_FRAMING_RANGE Range;
  ULONG InPlaceWeight;
  ULONG NotInPlaceWeight;
} KS_FRAMING_RANGE_WEIGHTED;

typedef struct {
  ULONG RatioNumerator;
  ULONG RatioDenominator;
  ULONG RatioConstantMargin;
} KS_COMPRESSION;

typedef struct {
  GUID MemoryType;
  GUID BusType;
  ULONG MemoryFlags;
  ULONG BusFlags;
  ULONG Flags;
  ULONG Frames;
  ULONG FileAlignment;
  ULONG MemoryTypeWeight;
  KS_FRAMING_RANGE PhysicalRange;
  KS_FRAMING_RANGE_WEIGHTED FramingRange;
} KS_FRAMING_ITEM;

typedef struct {
  ULONG CountItems;
  ULONG PinFlags;
  KS_COMPRESSION OutputCompression;
  ULONG PinWeight;
  KS_FRAMING_ITEM FramingItem[1];
} KSALLOCATOR_FRAMING_EX, *PKSALLOCATOR_FRAMING_EX;

typedef struct {
  union {
    ULONG OptionsFlags;
    ULONG RequirementsFlags;
  };
  ULONG PoolType;
  ULONG Frames;
  ULONG FrameSize;
  ULONG FileAlignment;
  ULONG Reserved;
} KSALLOCATOR_FRAMING, *PKSALLOCATOR_FRAMING;

static_assert(sizeof(KS_FRAMING_ITEM) == 88, "framing item layout");
static_assert(sizeof(KSALLOCATOR_FRAMING_EX) == 112, "framing layout");
static_assert(sizeof(KSALLOCATOR_FRAMING) == 24, "allocator framing is 24 bytes");

#define KSALLOCATOR_REQUIREMENTF_INPLACE_MODIFIER 0x00000001
#define KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY 0x00000002
#define KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY 0x80000000

// ---- states ----
typedef enum { KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN } KSSTATE, *PKSSTATE;
typedef enum { KSRESET_BEGIN, KSRESET_END } KSRESET;
typedef enum { KSPIN_DATAFLOW_IN = 1, KSPIN_DATAFLOW_OUT } KSPIN_DATAFLOW;
typedef enum {
  KSPIN_COMMUNICATION_NONE,
  KSPIN_COMMUNICATION_SINK,
  KSPIN_COMMUNICATION_SOURCE,
  KSPIN_COMMUNICATION_BOTH,
  KSPIN_COMMUNICATION_BRIDGE
} KSPIN_COMMUNICATION;

typedef struct {
  GUID Set;
  ULONG Id;
  ULONG Flags;
} KSPIN_INTERFACE, KSPIN_MEDIUM, *PKSPIN_MEDIUM;

// ---- time, stream headers ----
typedef struct {
  LONGLONG Time;
  ULONG Numerator;
  ULONG Denominator;
} KSTIME;

typedef struct {
  ULONG Size;
  ULONG TypeSpecificFlags;
  KSTIME PresentationTime;
  LONGLONG Duration;
  ULONG FrameExtent;
  ULONG DataUsed;
  PVOID Data;
  ULONG OptionsFlags;
  ULONG Reserved;
} KSSTREAM_HEADER, *PKSSTREAM_HEADER;
static_assert(sizeof(KSSTREAM_HEADER) == 56, "x64 stream header");

#define KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT 0x00000001
#define KSSTREAM_HEADER_OPTIONSF_PREROLL 0x00000002
#define KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY 0x00000004
#define KSSTREAM_HEADER_OPTIONSF_TYPECHANGED 0x00000008
#define KSSTREAM_HEADER_OPTIONSF_TIMEVALID 0x00000010
#define KSSTREAM_HEADER_OPTIONSF_TIMEDISCONTINUITY 0x00000040
#define KSSTREAM_HEADER_OPTIONSF_DURATIONVALID 0x00000100
#define KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM 0x00000200

typedef struct tagKS_FRAME_INFO {
  ULONG ExtendedHeaderSize;
  DWORD dwFrameFlags;
  LONGLONG PictureNumber;
  LONGLONG DropCount;
  HANDLE hDirectDraw;
  HANDLE hSurfaceHandle;
  RECT DirectDrawRect;
  union {
    LONG lSurfacePitch;
    DWORD Reserved1;
  };
  DWORD Reserved2;
  DWORD Reserved3;
  DWORD Reserved4;
} KS_FRAME_INFO, *PKS_FRAME_INFO;
static_assert(sizeof(KS_FRAME_INFO) == 72, "frame info is 72 bytes");

typedef struct {
  union {
    PUCHAR Data;
    PVOID Mappings;
  };
  ULONG Count;
  ULONG Remaining;
} KSSTREAM_POINTER_OFFSET, *PKSSTREAM_POINTER_OFFSET;

struct _KSPIN;
typedef struct _KSSTREAM_POINTER {
  PVOID Context;
  struct _KSPIN* Pin;
  PKSSTREAM_HEADER StreamHeader;
  PKSSTREAM_POINTER_OFFSET Offset;
  KSSTREAM_POINTER_OFFSET OffsetIn;
  KSSTREAM_POINTER_OFFSET OffsetOut;
} KSSTREAM_POINTER, *PKSSTREAM_POINTER;

typedef enum { KSSTREAM_POINTER_STATE_UNLOCKED = 0, KSSTREAM_POINTER_STATE_LOCKED } KSSTREAM_POINTER_STATE;

// ---- reference clock ----
typedef struct {
  LONGLONG Granularity;
  LONGLONG Error;
} KSRESOLUTION, *PKSRESOLUTION;

typedef GUID IID;
typedef const IID& REFIID;

struct IKsReferenceClock {
  virtual NTSTATUS QueryInterface(REFIID InterfaceId, PVOID* Interface) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;
  virtual LONGLONG GetTime() = 0;
  virtual LONGLONG GetPhysicalTime() = 0;
  virtual LONGLONG GetCorrelatedTime(LONGLONG* SystemTime) = 0;
  virtual LONGLONG GetCorrelatedPhysicalTime(LONGLONG* SystemTime) = 0;
  virtual NTSTATUS GetResolution(PKSRESOLUTION Resolution) = 0;
  virtual NTSTATUS GetState(PKSSTATE State) = 0;

 protected:
  ~IKsReferenceClock() = default;
};
typedef IKsReferenceClock* PIKSREFERENCECLOCK;

// ---- video-capture property records (ksmedia.h) ----
constexpr ULONG VT_I4 = 3;
constexpr ULONG KSPROPERTY_DROPPEDFRAMES_CURRENT = 0;
constexpr ULONG KSPROPERTY_CONNECTION_ALLOCATORFRAMING = 4;

// The request and data record of the proc-amp and camera-control items.
struct KSPROPERTY_VIDEOPROCAMP_S {
  KSPROPERTY Property;
  LONG Value;
  ULONG Flags;
  ULONG Capabilities;
};

typedef KSPROPERTY_VIDEOPROCAMP_S KSPROPERTY_CAMERACONTROL_S;
constexpr ULONG KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO = 0x0001;
constexpr ULONG KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL = 0x0002;

// The video-control and video-compression records.
struct KSPROPERTY_VIDEOCONTROL_CAPS_S {
  KSPROPERTY Property;
  ULONG StreamIndex;
  ULONG VideoControlCaps;
};
struct KSPROPERTY_VIDEOCONTROL_MODE_S {
  KSPROPERTY Property;
  ULONG StreamIndex;
  LONG Mode;
};
struct KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S {
  KSPROPERTY Property;
  ULONG StreamIndex;
  ULONG RangeIndex;
  SIZE Dimensions;
  LONGLONG CurrentActualFrameRate;
  LONGLONG CurrentMaxAvailableFrameRate;
};
struct KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S {
  KSPROPERTY Property;
  ULONG StreamIndex;
  ULONG RangeIndex;
  SIZE Dimensions;
};
struct KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S {
  KSPROPERTY Property;
  ULONG StreamIndex;
  LONG DefaultKeyFrameRate;
  LONG DefaultPFrameRate;
  LONG DefaultQuality;
  LONG NumberOfQualitySettings;
  LONG Capabilities;
};

struct KSPROPERTY_DROPPEDFRAMES_CURRENT_S {
  KSPROPERTY Property;
  LONGLONG PictureNumber;
  LONGLONG DropCount;
  ULONG AverageFrameSize;
};

// ---- objects ----
typedef PVOID KSOBJECT_BAG;
typedef VOID (*PFNKSFREE)(PVOID Data);

struct _KSDEVICE;
struct _KSFILTER;
struct _KSPIN;
typedef struct _KSDEVICE KSDEVICE, *PKSDEVICE;
typedef struct _KSFILTER KSFILTER, *PKSFILTER;
typedef struct _KSPIN KSPIN, *PKSPIN;
typedef PVOID PKSFILTERFACTORY;

typedef NTSTATUS (*PFNKSDEVICECREATE)(PKSDEVICE Device);
typedef NTSTATUS (*PFNKSDEVICEPNPSTART)(PKSDEVICE Device, PIRP Irp,
                                        PCM_RESOURCE_LIST TranslatedResourceList,
                                        PCM_RESOURCE_LIST UntranslatedResourceList);
typedef NTSTATUS (*PFNKSDEVICE)(PKSDEVICE Device);
typedef NTSTATUS (*PFNKSDEVICEIRP)(PKSDEVICE Device, PIRP Irp);
typedef VOID (*PFNKSDEVICEIRPVOID)(PKSDEVICE Device, PIRP Irp);
typedef NTSTATUS (*PFNKSDEVICEQUERYCAPABILITIES)(PKSDEVICE Device, PIRP Irp,
                                                 PDEVICE_CAPABILITIES Capabilities);
typedef NTSTATUS (*PFNKSDEVICEQUERYPOWER)(PKSDEVICE Device, PIRP Irp,
                                          DEVICE_POWER_STATE DeviceTo,
                                          DEVICE_POWER_STATE DeviceFrom,
                                          SYSTEM_POWER_STATE SystemTo,
                                          SYSTEM_POWER_STATE SystemFrom, POWER_ACTION Action);
typedef VOID (*PFNKSDEVICESETPOWER)(PKSDEVICE Device, PIRP Irp, DEVICE_POWER_STATE To,
                                    DEVICE_POWER_STATE From);

typedef struct {
  PFNKSDEVICECREATE Add;
  PFNKSDEVICEPNPSTART Start;
  PFNKSDEVICE PostStart;
  PFNKSDEVICEIRP QueryStop;
  PFNKSDEVICEIRPVOID CancelStop;
  PFNKSDEVICEIRPVOID Stop;
  PFNKSDEVICEIRP QueryRemove;
  PFNKSDEVICEIRPVOID CancelRemove;
  PFNKSDEVICEIRPVOID Remove;
  PFNKSDEVICEQUERYCAPABILITIES QueryCapabilities;
  PFNKSDEVICEIRPVOID SurpriseRemoval;
  PFNKSDEVICEQUERYPOWER QueryPower;
  PFNKSDEVICESETPOWER SetPower;
  PFNKSDEVICEIRP QueryInterface;
} KSDEVICE_DISPATCH;

struct _KSFILTER_DESCRIPTOR;
typedef struct _KSDEVICE_DESCRIPTOR {
  const KSDEVICE_DISPATCH* Dispatch;
  ULONG FilterDescriptorsCount;
  const struct _KSFILTER_DESCRIPTOR* const* FilterDescriptors;
  ULONG Version;
} KSDEVICE_DESCRIPTOR;
#define KSDEVICE_DESCRIPTOR_VERSION 0x100

struct _KSDEVICE {
  const KSDEVICE_DESCRIPTOR* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
  PDEVICE_OBJECT FunctionalDeviceObject;
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDEVICE_OBJECT NextDeviceObject;
  BOOLEAN Started;
  SYSTEM_POWER_STATE SystemPowerState;
  DEVICE_POWER_STATE DevicePowerState;
};

typedef NTSTATUS (*PFNKSFILTERIRP)(PKSFILTER Filter, PIRP Irp);
typedef NTSTATUS (*PFNKSFILTERPROCESS)(PKSFILTER Filter, PVOID Index);
typedef NTSTATUS (*PFNKSFILTERVOID)(PKSFILTER Filter);

typedef struct {
  PFNKSFILTERIRP Create;
  PFNKSFILTERIRP Close;
  PFNKSFILTERPROCESS Process;
  PFNKSFILTERVOID Reset;
} KSFILTER_DISPATCH;

typedef NTSTATUS (*PFNKSPINIRP)(PKSPIN Pin, PIRP Irp);
typedef NTSTATUS (*PFNKSPIN)(PKSPIN Pin);
typedef VOID (*PFNKSPINVOID)(PKSPIN Pin);
typedef VOID (*PFNKSPINRESET)(PKSPIN Pin);
typedef struct {
  ULONG Count;
  PVOID* Attributes;
} KSATTRIBUTE_LIST, *PKSATTRIBUTE_LIST;
typedef NTSTATUS (*PFNKSPINSETDATAFORMAT)(PKSPIN Pin, PKSDATAFORMAT OldFormat,
                                          PKSMULTIPLE_ITEM OldAttributeList,
                                          const KSDATARANGE* DataRange,
                                          const KSATTRIBUTE_LIST* AttributeRange);
typedef NTSTATUS (*PFNKSPINSETDEVICESTATE)(PKSPIN Pin, KSSTATE ToState, KSSTATE FromState);

typedef struct {
  PFNKSPINIRP Create;
  PFNKSPINIRP Close;
  PFNKSPIN Process;
  PFNKSPINRESET Reset;
  PFNKSPINSETDATAFORMAT SetDataFormat;
  PFNKSPINSETDEVICESTATE SetDeviceState;
  PFNKSPIN Connect;
  PFNKSPINVOID Disconnect;
  const VOID* Clock;
  const VOID* Allocator;
} KSPIN_DISPATCH;

typedef NTSTATUS (*PFNKSINTERSECTHANDLEREX)(PVOID Context, PIRP Irp, PKSP_PIN Pin,
                                            PKSDATARANGE DataRange,
                                            PKSDATARANGE MatchingDataRange,
                                            ULONG DataBufferSize, PVOID Data,
                                            PULONG DataSize);

typedef struct {
  ULONG InterfacesCount;
  const KSPIN_INTERFACE* Interfaces;
  ULONG MediumsCount;
  const KSPIN_MEDIUM* Mediums;
  ULONG DataRangesCount;
  const PKSDATARANGE* DataRanges;
  KSPIN_DATAFLOW DataFlow;
  KSPIN_COMMUNICATION Communication;
  const GUID* Category;
  const GUID* Name;
  union {
    LONGLONG Reserved;
    struct {
      ULONG ConstrainedDataRangesCount;
      PKSDATARANGE* ConstrainedDataRanges;
    };
  };
} KSPIN_DESCRIPTOR;

typedef struct {
  const KSPIN_DISPATCH* Dispatch;
  const KSAUTOMATION_TABLE* AutomationTable;
  KSPIN_DESCRIPTOR PinDescriptor;
  ULONG Flags;
  ULONG InstancesPossible;
  ULONG InstancesNecessary;
  const KSALLOCATOR_FRAMING_EX* AllocatorFraming;
  PFNKSINTERSECTHANDLEREX IntersectHandler;
} KSPIN_DESCRIPTOR_EX, *PKSPIN_DESCRIPTOR_EX;
static_assert(sizeof(KSPIN_DESCRIPTOR) == 88, "x64 pin descriptor");
static_assert(sizeof(KSPIN_DESCRIPTOR_EX) == 136, "x64 extended pin descriptor");

#define KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING 0x00000010
#define KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY 0x00010000

typedef struct {
  const KSAUTOMATION_TABLE* AutomationTable;
  const GUID* Type;
  const GUID* Name;
} KSNODE_DESCRIPTOR;
static_assert(sizeof(KSNODE_DESCRIPTOR) == 24, "node descriptor is 24 bytes");
static_assert(sizeof(KSPROPERTY_ITEM) == 72, "property item is 72 bytes");
static_assert(sizeof(KSPROPERTY_SET) == 40, "property set layout");

typedef struct {
  ULONG FromNode;
  ULONG FromNodePin;
  ULONG ToNode;
  ULONG ToNodePin;
} KSTOPOLOGY_CONNECTION;

typedef struct _KSFILTER_DESCRIPTOR {
  const KSFILTER_DISPATCH* Dispatch;
  const KSAUTOMATION_TABLE* AutomationTable;
  ULONG Version;
  ULONG Flags;
  const GUID* ReferenceGuid;
  ULONG PinDescriptorsCount;
  ULONG PinDescriptorSize;
  const KSPIN_DESCRIPTOR_EX* PinDescriptors;
  ULONG CategoriesCount;
  const GUID* Categories;
  ULONG NodeDescriptorsCount;
  ULONG NodeDescriptorSize;
  const KSNODE_DESCRIPTOR* NodeDescriptors;
  ULONG ConnectionsCount;
  const KSTOPOLOGY_CONNECTION* Connections;
  const VOID* ComponentId;
} KSFILTER_DESCRIPTOR;
#define KSFILTER_DESCRIPTOR_VERSION ((ULONG)-1)

struct _KSFILTER {
  const KSFILTER_DESCRIPTOR* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
};

struct _KSPIN {
  const KSPIN_DESCRIPTOR_EX* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
  ULONG Id;
  KSPIN_COMMUNICATION Communication;
  BOOLEAN ConnectionIsExternal;
  KSPIN_INTERFACE ConnectionInterface;
  KSPIN_MEDIUM ConnectionMedium;
  struct { ULONG PriorityClass; ULONG PrioritySubClass; } ConnectionPriority;
  PKSDATAFORMAT ConnectionFormat;
  PKSMULTIPLE_ITEM AttributeList;
  ULONG StreamHeaderSize;
  KSPIN_DATAFLOW DataFlow;
  KSSTATE DeviceState;
  KSRESET ResetState;
  KSSTATE ClientState;
};


#define KSCREATE_ITEM_FREEONSTOP 0x00000008

// ---- work queues and KS workers ----
typedef VOID (*PWORKER_THREAD_ROUTINE)(PVOID Parameter);
typedef struct _WORK_QUEUE_ITEM {
  LIST_ENTRY List;
  PWORKER_THREAD_ROUTINE WorkerRoutine;
  PVOID Parameter;
} WORK_QUEUE_ITEM, *PWORK_QUEUE_ITEM;
inline VOID ExInitializeWorkItem(PWORK_QUEUE_ITEM Item, PWORKER_THREAD_ROUTINE Routine, PVOID Parameter) {
  Item->WorkerRoutine = Routine;
  Item->Parameter = Parameter;
  Item->List.Flink = nullptr;
}
typedef PVOID PKSWORKER;

// ---- calls ----
NTSTATUS KsInitializeDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath,
                            const KSDEVICE_DESCRIPTOR* Descriptor);
// The device mutex: a kernel mutex, so the owning thread may take it again.
VOID KsAcquireDevice(PKSDEVICE Device);
VOID KsReleaseDevice(PKSDEVICE Device);
PKSDEVICE KsGetDevice(PVOID Object);
PKSFILTER KsGetFilterFromIrp(PIRP Irp);
PKSPIN KsGetPinFromIrp(PIRP Irp);

NTSTATUS KsAddItemToObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, PFNKSFREE Free);
// Returns the number of references removed (1 when the item was in the bag).
ULONG KsRemoveItemFromObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, BOOLEAN Free);
// Replaces *PointerToPointerToItem by a copy of NewSize bytes (the first
// min(OldSize, NewSize) copied, the rest zeroed) owned by the bag; a previous
// copy owned by the bag is freed.
NTSTATUS _KsEdit(KSOBJECT_BAG ObjectBag, PVOID* PointerToPointerToItem, ULONG NewSize,
                 ULONG OldSize, ULONG Tag);
#define KsEdit(Object, PointerToPointer, Tag)                                              \
  _KsEdit((Object)->Bag, reinterpret_cast<PVOID*>(PointerToPointer), sizeof(**(PointerToPointer)), \
          sizeof(**(PointerToPointer)), (Tag))

NTSTATUS KsCreateFilterFactory(PDEVICE_OBJECT DeviceObject, const KSFILTER_DESCRIPTOR* Descriptor,
                               PCWSTR RefString, PSECURITY_DESCRIPTOR SecurityDescriptor,
                               ULONG CreateItemFlags, PVOID SleepCallback, PVOID WakeCallback,
                               PKSFILTERFACTORY* FilterFactory);

NTSTATUS KsRegisterWorker(WORK_QUEUE_TYPE WorkQueueType, PKSWORKER* Worker);
VOID KsUnregisterWorker(PKSWORKER Worker);
NTSTATUS KsQueueWorkItem(PKSWORKER Worker, PWORK_QUEUE_ITEM WorkItem);

// Processing: synchronous at PASSIVE_LEVEL unless Asynchronous, always
// asynchronous at DISPATCH_LEVEL; never re-entered for one pin.
VOID KsPinAttemptProcessing(PKSPIN Pin, BOOLEAN Asynchronous);
PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN Pin, KSSTREAM_POINTER_STATE State);
VOID KsStreamPointerUnlock(PKSSTREAM_POINTER StreamPointer, BOOLEAN Eject);
NTSTATUS KsStreamPointerAdvance(PKSSTREAM_POINTER StreamPointer);
NTSTATUS KsStreamPointerClone(PKSSTREAM_POINTER StreamPointer, PVOID CancelCallback,
                              ULONG ContextSize, PKSSTREAM_POINTER* CloneStreamPointer);
VOID KsStreamPointerDelete(PKSSTREAM_POINTER StreamPointer);
PKSSTREAM_POINTER KsPinGetFirstCloneStreamPointer(PKSPIN Pin);
PKSSTREAM_POINTER KsStreamPointerGetNextClone(PKSSTREAM_POINTER StreamPointer);
NTSTATUS KsPinGetReferenceClockInterface(PKSPIN Pin, PIKSREFERENCECLOCK* Interface);

#ifndef STATUS_SHARING_VIOLATION
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043L)
#endif
#ifndef STATUS_INVALID_DEVICE_STATE
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#endif
#ifndef STATUS_DEVICE_NOT_READY
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#endif
#ifndef STATUS_OBJECT_NAME_NOT_FOUND
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#endif
#ifndef STATUS_DEVICE_BUSY
#define STATUS_DEVICE_BUSY ((NTSTATUS)0x80000011L)
#endif
