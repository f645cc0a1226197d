#pragma once
// The readers behind ReadPly, Read3d and ReadTextRows, working on any byte
// source (a file, or memory in the fuzz targets). They append to the store
// and may throw std::bad_alloc, leaving the store consistent (every point
// with its colour).
#include "viewer/cloud/byte_reader.h"
#include "viewer/cloud/cloud_store.h"

namespace cloud {

void readPly(ByteReader& in, CloudStore& store);
void read3d(ByteReader& in, CloudStore& store);
void readTextRows(ByteReader& in, CloudStore& store);

// Text rows: reads whole vertex lines (x y z red green blue), lineCount of
// them, or to the end of the data when lineCount is 0. Colour values are
// held to 0..255.
void readAsciiPoints(ByteReader& in, CloudStore& store, std::uint64_t lineCount);

}  // namespace cloud
