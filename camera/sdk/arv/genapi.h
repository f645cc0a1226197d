#pragma once
// The GenICam node-map calls the camera back-ends make, in pylon's shape, on
// Aravis's GenICam engine: node lookup by name, integer get/set with
// verification, enumeration entries and their availability, setting an
// enumeration by its symbolic value, commands. Failures are exceptions
// (GenICam::GenericException and kin); they never leave the plug-in.
#include <atomic>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

typedef struct _ArvDevice ArvDevice;
typedef struct _ArvGcNode ArvGcNode;

namespace GenICam {

class GenericException : public std::exception {
 public:
  explicit GenericException(std::string description) : description_(std::move(description)) {}
  const char* GetDescription() const noexcept { return description_.c_str(); }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  std::string description_;
};

#define ZEL_GENICAM_EXCEPTION(Name)           \
  class Name : public GenericException {      \
   public:                                    \
    using GenericException::GenericException; \
  };
ZEL_GENICAM_EXCEPTION(RuntimeException)
ZEL_GENICAM_EXCEPTION(LogicalErrorException)
ZEL_GENICAM_EXCEPTION(AccessException)
ZEL_GENICAM_EXCEPTION(OutOfRangeException)
ZEL_GENICAM_EXCEPTION(InvalidArgumentException)
ZEL_GENICAM_EXCEPTION(TimeoutException)
#undef ZEL_GENICAM_EXCEPTION

}  // namespace GenICam

namespace GenApi {

class INodeMap;

// One feature of the device description. Owned by its node map.
class INode {
 public:
  INode(INodeMap& map, ArvGcNode* node, std::string name);
  const std::string& GetName() const { return name_; }

  // Internal: what the smart pointers below work on.
  ArvGcNode* arvNode() const { return node_; }
  INodeMap& nodeMap() const { return map_; }

 private:
  INodeMap& map_;
  ArvGcNode* node_;
  std::string name_;
};

using NodeList_t = std::vector<INode*>;

// Availability and access of a node, asked of the node itself; false for null.
bool IsAvailable(const INode* node);
bool IsReadable(const INode* node);
bool IsWritable(const INode* node);

// The camera's node map. Every access holds the map's lock, so the trigger
// thread and the host's thread may use one camera at the same time.
class INodeMap {
 public:
  explicit INodeMap(ArvDevice* device);
  ~INodeMap();
  INodeMap(const INodeMap&) = delete;
  INodeMap& operator=(const INodeMap&) = delete;

  // Null when the description has no feature of that name.
  INode* GetNode(const std::string& name);

  // The node of an enumeration's entry. Entry names repeat between
  // enumerations ("Off" of TriggerMode and of GainAuto), so entries are kept
  // per enumeration, never looked up by name alone.
  INode* entryNode(const std::string& enumeration, ArvGcNode* entry, const std::string& symbolic);

  std::recursive_mutex& lock() { return lock_; }
  ArvDevice* device() const { return device_; }

  // A device that stopped answering (a transaction timed out, or its
  // heartbeat failed) is not asked again: every later access fails at once
  // instead of waiting out the transport's retries, so closing a camera that
  // vanished does not take seconds per feature.
  void markUnresponsive() { unresponsive_ = true; }
  bool unresponsive() const { return unresponsive_.load(); }

 private:
  ArvDevice* device_;
  unsigned long controlLostHandler_ = 0;
  std::atomic<bool> unresponsive_{false};
  std::recursive_mutex lock_;
  std::map<std::string, std::unique_ptr<INode>> nodes_;
  std::map<std::string, std::unique_ptr<INode>> entries_;
};

// Smart pointers in pylon's manner: constructed from any node, valid only
// when the node is of their kind; using an invalid one throws.
class CIntegerPtr {
 public:
  CIntegerPtr(INode* node = nullptr);
  bool IsValid() const { return node_ != nullptr; }
  explicit operator bool() const { return IsValid(); }
  CIntegerPtr* operator->() { return this; }

  int64_t GetValue(bool verify = false, bool ignoreCache = false);
  // verify: the value is checked against the feature's range and increment
  // before it is written (OutOfRangeException otherwise).
  void SetValue(int64_t value, bool verify = true);
  int64_t GetMin();
  int64_t GetMax();

 private:
  INode* node_;
};

class CEnumEntryPtr {
 public:
  CEnumEntryPtr(INode* node = nullptr);
  bool IsValid() const { return node_ != nullptr; }
  explicit operator bool() const { return IsValid(); }
  CEnumEntryPtr* operator->() { return this; }
  std::string GetSymbolic();

 private:
  INode* node_;
};

class CEnumerationPtr {
 public:
  CEnumerationPtr(INode* node = nullptr);
  bool IsValid() const { return node_ != nullptr; }
  explicit operator bool() const { return IsValid(); }
  CEnumerationPtr* operator->() { return this; }

  // All entries, in the description's order (available or not).
  void GetEntries(NodeList_t& entries);
  // Null when the enumeration has no entry of that symbolic name.
  INode* GetEntryByName(const std::string& symbolic);
  // Sets the enumeration by an entry's symbolic name.
  void FromString(const std::string& symbolic, bool verify = true);
  std::string ToString();

 private:
  INode* node_;
};

class CCommandPtr {
 public:
  CCommandPtr(INode* node = nullptr);
  bool IsValid() const { return node_ != nullptr; }
  explicit operator bool() const { return IsValid(); }
  CCommandPtr* operator->() { return this; }
  void Execute(bool verify = true);

 private:
  INode* node_;
};

}  // namespace GenApi
