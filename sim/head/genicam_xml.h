#pragma once
// The GenICam files of the live head's device kinds, made at start so that
// the ranges carry the served image size. The cameras' file is offered as
// plain XML, the head's as a zip archive, so that clients exercise both
// "Local:" paths.
#include <cstdint>
#include <string>
#include <vector>

namespace sim::head {

// Kind "cameras": Width and Height fixed at the rendered size.
std::string cameraXml(int width, int height);
// Kind "stereo head": the head registers as features too.
std::string stereoHeadXml();

// A zip archive holding one file, deflated with zlib (stored if zlib
// fails): local header, data, central directory, end record.
std::vector<uint8_t> zipOneFile(const std::string& name, const std::string& data);

}  // namespace sim::head
