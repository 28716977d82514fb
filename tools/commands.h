// The uvccam verbs that live outside main.cpp. Each takes the arguments
// after the verb and returns the process exit status: 0, 1 for a failure at
// run time, 2 for a usage error.
#pragma once

#include <cstdio>

namespace tools {

// `uvccam capture`: frames from the capture pin into a file.
int CaptureCommand(int argc, char** argv);
// `uvccam still`: one still from the still pin into a PNG file.
int StillCommand(int argc, char** argv);
// `uvccam controls [camera options] [--json] [--get NAME]... [--set NAME=VALUE]...`
int ControlsCommand(int argc, char** argv);
// `uvccam formats`: the camera's tables and what the pins offer.
int FormatsCommand(int argc, char** argv);
// `uvccam overlays`: overlay art for every frame size into the state folder.
int OverlaysCommand(int argc, char** argv);
// `uvccam descriptors --output FILE`: the camera's descriptors as a dump.
int DescriptorsCommand(int argc, char** argv);
// `uvccam publish`: the camera as a PipeWire video source until a signal.
int PublishCommand(int argc, char** argv);

}  // namespace tools
