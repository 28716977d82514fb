// The one header every driver folder includes. On the host it brings our own
// user-mode declarations of the kernel, kernel-streaming and USB vocabulary;
// on Windows it brings the kit's headers. Names, field names, argument order
// and status values are the kit's.
#pragma once

#if defined(UVCCAM_HOST)
#include "platform/host/nt_types.h"
#include "platform/host/kernel.h"
#include "platform/host/io.h"
#include "platform/host/usb.h"
#include "platform/host/ks.h"
#include "platform/host/ksmedia.h"
#include "platform/host/files.h"
#elif defined(__MINGW32__)
// Windows kernel mode, cross-compiled with mingw-w64: its kit headers plus the
// few declarations they lack (scripts/build-windows.sh).
#include "platform/mingw_kit.h"
#else
#include <ntddk.h>
#include <wdm.h>
#include <usb.h>
#include <usbdi.h>
#include <usbioctl.h>
#include <usbbusif.h>
#include <unknown.h>
#include <ks.h>
#include <windef.h>
#include <ksmedia.h>
#define UVCCAM_WIDE(text) L##text
#endif

#include "platform/kit_layouts.h"
#include "platform/pool_tags.h"
