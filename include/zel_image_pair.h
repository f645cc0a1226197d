#pragma once
// The input of both decoders (dec_phsft.h, dec_sgbm.h): two pointers, first
// the left camera's images, then the right camera's. Each points to 8-bit grey
// images of image_width x image_height pixels, rows top to bottom, stored back
// to back; how many images and what they show is the decoder's business. The
// decoders only read them; the host owns them.
#include <cstdint>

struct ImagePair {
  const std::uint8_t* left = nullptr;
  const std::uint8_t* right = nullptr;
};
