// Overlay art of our own: simple frame pictures for every overlay mode and
// every frame size the simulated cameras offer, written as the 24-bit BMP
// files the driver's overlay loader reads from its system folder (the host
// state folder). Host-only.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tools {

// The overlay modes that have a file: 1 magnifier, 2 aim, 3 newspaper,
// 4..20 the numbered frames, 254 the special aim.
std::vector<uint32_t> OverlayModes();

// The overlay file name of a mode and size without a folder ("1_640_480.bmp").
std::string OverlayFileStem(uint32_t mode, uint32_t width, uint32_t height);

// Every input frame size in the format tables of the simulated camera
// profiles in `profileDir`, sorted, without repeats. Empty with *error set
// when no profile could be read.
std::vector<std::pair<uint32_t, uint32_t>> ProfileFrameSizes(const std::string& profileDir,
                                                             std::string* error);

// One overlay picture as a bottom-up 24-bit BMP file: black (luma 0) is
// transparent, everything drawn is opaque.
std::vector<uint8_t> DrawOverlay(uint32_t mode, uint32_t width, uint32_t height);

// Writes every mode x size into `folder` (created when missing). Returns the
// number of files written, or -1 with *error set.
long WriteOverlayArt(const std::string& folder,
                     const std::vector<std::pair<uint32_t, uint32_t>>& sizes, std::string* error);

// Writes the art of one mode at each size into `folder` where that file is
// missing (a file already there, ours or the user's, is kept), so that an
// overlay switched on by a command shows without `uvccam overlays` first.
// Returns the number of files written, or -1 with *error set.
long ProvideOverlayArt(const std::string& folder, uint32_t mode,
                       const std::vector<std::pair<uint32_t, uint32_t>>& sizes, std::string* error);

// Whether the overlay file at `path` is one the driver can use at
// `width` x `height` (a 24-bit uncompressed BMP of exactly that size with
// all its pixel data); false with *why, a few words.
bool OverlayBitmapUsable(const std::string& path, uint32_t width, uint32_t height, std::string* why);

// $XDG_STATE_HOME/uvccam, else ~/.local/state/uvccam.
std::string DefaultStateFolder();

}  // namespace tools
