#pragma once
// Point files: PLY (binary little-endian and ASCII), the compact "3D" binary
// dump, and text rows (".csv", ".txt"). Readers append to a CloudStore and
// are tolerant: they skip what they do not understand and never report a
// message; success shows in the store's point count. Writers write the whole
// store and return true on success. Nothing here throws, and nothing here
// takes the store lock: callers that share the store across threads hold
// CloudStore::mutex() around these calls.
//
// Paths are UTF-8 std::filesystem::path values.
#include "viewer/cloud/cloud_store.h"

#include <filesystem>
#include <string_view>

namespace cloud {

enum class FileKind {
  Unknown,   // anything else: nothing is read
  Binary3d,  // ".3d"
  Ply,       // ".ply", binary or ASCII by its header
  TextRows,  // ".csv", ".txt": whitespace-separated rows
};

// The kind named by the text after the path's last dot, compared
// case-insensitively.
FileKind FileKindFromExtension(const std::filesystem::path& path) noexcept;

// Clears the store (releasing memory, then reserving room for
// CloudStore::kReservedPoints points) and runs the reader of the path's kind.
// An unknown kind or an unreadable file leaves the store empty.
void LoadPointFile(CloudStore& store, const std::filesystem::path& path) noexcept;

// Readers: append to the store; never fail loudly.
void ReadPly(CloudStore& store, const std::filesystem::path& path) noexcept;
void Read3d(CloudStore& store, const std::filesystem::path& path) noexcept;
void ReadTextRows(CloudStore& store, const std::filesystem::path& path) noexcept;

// Writers: write the whole store, completely or not at all: the bytes go to a
// temporary file in the target's folder that is renamed over the target only
// once all of it was written and closed. False when the file cannot be
// created or any part of it cannot be written; the earlier file at path (if
// any) is then left as it was and no partial file remains.
bool WritePly(const CloudStore& store, const std::filesystem::path& path, bool binary) noexcept;
bool Write3d(const CloudStore& store, const std::filesystem::path& path) noexcept;
bool WriteTextRows(const CloudStore& store, const std::filesystem::path& path) noexcept;

enum class SaveResult {
  Saved,          // the writer succeeded
  Failed,         // the writer failed, or no writer fits path and format
  NothingToSave,  // the store holds no points: no file was touched
};

// Saves the store by the "out_format" setting ("ply.bin", "ply.asc", "3d",
// compared case-insensitively); any other value picks the writer by the
// path's extension (".csv"/".txt" text rows, ".3d" 3D, ".ply" binary PLY,
// anything else fails without writing).
SaveResult SavePointFile(const CloudStore& store, const std::filesystem::path& path,
                         std::string_view outFormat) noexcept;

}  // namespace cloud
