// Writes an MJPEG play file for the simulated camera whose frames look as
// many webcams send them: no DHT segment (the standard tables are implied),
// one DQT segment per table, a restart interval, and a stuffed zero byte or a
// fill byte before every RSTn marker. The picture is our own synthetic test
// picture, moving a few pixels per frame. A play file is the frames one after
// the other, each from SOI to EOI. Host-only; uses the system's libjpeg.
//
//   make_webcam_play OUTPUT [--size WxH] [--frames N] [--quality Q] [--restart MCUS]
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/mjpeg/jpeg_fixtures.h"

int main(int argc, char** argv) {
  using namespace mjpeg_fixtures;
  EncodeOptions options{320, 240, 70, Sampling::k422, 10};
  int frames = 4;
  const char* output = nullptr;
  for (int i = 1; i < argc; ++i) {
    const bool more = i + 1 < argc;
    if (more && !strcmp(argv[i], "--size") && sscanf(argv[i + 1], "%dx%d", &options.width, &options.height) == 2) ++i;
    else if (more && !strcmp(argv[i], "--frames")) frames = atoi(argv[++i]);
    else if (more && !strcmp(argv[i], "--quality")) options.quality = atoi(argv[++i]);
    else if (more && !strcmp(argv[i], "--restart")) options.restartInterval = static_cast<unsigned>(atoi(argv[++i]));
    else if (argv[i][0] != '-' && !output) output = argv[i];
    else output = nullptr, i = argc;
  }
  if (!output || frames < 1 || options.width < 1 || options.height < 1 || options.width > 4096 ||
      options.height > 4096 || options.quality < 1 || options.quality > 100) {
    fprintf(stderr, "usage: make_webcam_play OUTPUT [--size WxH] [--frames N] [--quality Q] [--restart MCUS]\n");
    return 2;
  }
  FILE* file = fopen(output, "wb");
  if (!file) {
    fprintf(stderr, "make_webcam_play: cannot write %s\n", output);
    return 1;
  }
  bool ok = true;
  for (int i = 0; i < frames; ++i) {
    options.shift = 4 * i;
    const Bytes frame = WebcamLayout(Encode(options), options.restartInterval != 0);
    ok = ok && fwrite(frame.data(), 1, frame.size(), file) == frame.size();
  }
  ok = fclose(file) == 0 && ok;
  if (!ok) fprintf(stderr, "make_webcam_play: error writing %s\n", output);
  return ok ? 0 : 1;
}
