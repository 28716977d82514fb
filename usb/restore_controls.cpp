// RestoreControls: the stored control values back to the camera through the
// hook the controls layer installs, so the USB layer knows no control.
#include "usb/restore_controls.h"

VOID RestoreControls(StreamEngine* engine) {
  if (engine->cameraControls && engine->restoreControls && engine->effectState)
    engine->restoreControls(engine->cameraControls);
  WriteULongNoFence(&engine->controlsApplied, 1);
}
