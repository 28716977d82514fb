// Property handlers of the filter's sets. Each answers STATUS_NOT_IMPLEMENTED
// until its set is built; the dispatch in front of them has already checked
// the set, the item and the buffer sizes.
#include "controls/property_sets.h"

NTSTATUS VendorControlGet(PIRP, PKSIDENTIFIER, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS VendorControlSet(PIRP, PKSIDENTIFIER, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS VideoCompressionGet(PIRP, PKSIDENTIFIER, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS VideoControlGet(PIRP, PKSIDENTIFIER, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS VideoControlSet(PIRP, PKSIDENTIFIER, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS VideoProcAmpGet(PIRP, PKSIDENTIFIER, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS VideoProcAmpSet(PIRP, PKSIDENTIFIER, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS CameraControlGet(PIRP, PKSIDENTIFIER, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS CameraControlSet(PIRP, PKSIDENTIFIER, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ExtensionUnitGet(PIRP, PKSIDENTIFIER, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ExtensionUnitSet(PIRP, PKSIDENTIFIER, PVOID) { return STATUS_NOT_IMPLEMENTED; }
