// The uvccam commands beyond formats and overlays, each with the arguments
// after its name; the exit code (0, 1 for a camera or driver failure, 2 for
// a usage error).
#pragma once

namespace tools {

// `uvccam controls [camera options] [--json] [--get NAME] [--set NAME=VALUE]...`
int ControlsCommand(int argc, char** argv);

}  // namespace tools
