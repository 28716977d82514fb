// The built-in simulated camera, plugged and started once per process with
// its filter open, for the fuzz targets that send requests to the filter and
// for the corpus writer. The host clock runs fast so that the vendor items'
// waits cost nothing; the state folder is the caller's.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <memory>

#include "camera/simulated_camera.h"
#include "client/camera.h"
#include "platform/host/host_control.h"
#include "platform/host/host_files.h"

struct FilterRig {
  std::unique_ptr<client::Camera> camera;
  client::Filter* filter = nullptr;
};

inline FilterRig& OpenFilterRig(const char* stateFolder) {
  static FilterRig rig;
  if (rig.camera) return rig;
  host::SetClockRate(1000);
  ::mkdir(stateFolder, 0755);
  host::SetStateFolder(stateFolder);
  if (client::Camera::Plug(camera::DefaultSimulatedCamera(), &rig.camera) != STATUS_SUCCESS ||
      rig.camera->Start() != STATUS_SUCCESS || rig.camera->OpenFilter(&rig.filter) != STATUS_SUCCESS)
    std::abort();
  return rig;
}
