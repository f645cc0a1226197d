#pragma once
// The node map handed out by GDevOpen: Aravis's GenICam engine (ArvGc) over
// a small ArvDevice subclass whose memory reads and writes go through our
// transport. GenICam failures become GDevException, port failures
// GDevExceptionI with the port's messages.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gevlink.h"
#include "gevlink/transport.h"

namespace gevlink {

// Device memory access for the port: returns the transport's result.
struct PortAccess {
  std::function<TransportResult(uint32_t address, void* out, uint32_t length)> read;
  std::function<TransportResult(uint32_t address, const void* data, uint32_t length)> write;
};

class NodeMap final : public INodeMap {
 public:
  // Loads the XML; throws GDevException when it is not a GenICam file.
  NodeMap(const std::vector<uint8_t>& xml, PortAccess port);
  ~NodeMap();
  NodeMap(const NodeMap&) = delete;
  NodeMap& operator=(const NodeMap&) = delete;

  bool hasNode(const char* name) override;
  int64_t getInteger(const char* name) override;
  void setInteger(const char* name, int64_t value) override;
  std::string getEnumSymbol(const char* name) override;
  void setEnumSymbol(const char* name, const char* symbol) override;
  std::vector<std::pair<std::string, int64_t>> enumEntries(const char* name) override;
  void execute(const char* name) override;
  std::string getString(const char* name) override;

  // The port as the GenICam IPort would: throw GDevExceptionI on failure.
  void portRead(void* buffer, uint32_t address, uint32_t length);
  void portWrite(const void* buffer, uint32_t address, uint32_t length);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The control privilege to request: among the "GevCCP" entries' values
// prefer 2, else 1, else the first other non-zero; fallback when none.
uint32_t chooseControlPrivilege(const std::vector<std::pair<std::string, int64_t>>& entries, uint32_t fallback);

}  // namespace gevlink
