// Video-capture vocabulary of the kit's ksmedia.h: the bitmap and video
// info headers, the video data range and format (layouts pinned below), the
// frame information that follows a stream header, and the property records
// of the proc-amp, camera-control, video-control, video-compression and
// dropped-frames sets.
#pragma once

#include "platform/host/ks.h"
#include "platform/host/windef.h"

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

static_assert(sizeof(KS_BITMAPINFOHEADER) == 40, "bitmap header is 40 bytes");
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88, "48 bytes before the bitmap header");
static_assert(offsetof(KS_VIDEOINFOHEADER, bmiHeader) == 48, "48 bytes before the bitmap header");
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128, "ConfigCaps is 128 bytes");
static_assert(offsetof(KS_DATARANGE_VIDEO, ConfigCaps) == 80, "ConfigCaps follows 80 bytes");
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296, "KS_DATARANGE_VIDEO is 296 bytes");
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152, "video format is 152 bytes");

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
