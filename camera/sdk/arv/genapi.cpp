#include "camera/sdk/arv/genapi.h"

#include <arv.h>

#include "camera/sdk/arv/arv_system.h"

namespace GenApi {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

ArvGcFeatureNode* feature(const INode* node) { return ARV_GC_FEATURE_NODE(node->arvNode()); }

// Throws the GError's message (freeing it) when there is one; a time-out
// marks the device as not answering.
void throwIf(GError* error, const INode* node) {
  if (!error) return;
  if (error->domain == ARV_DEVICE_ERROR && error->code == ARV_DEVICE_ERROR_TIMEOUT) node->nodeMap().markUnresponsive();
  std::string text = node->GetName() + ": " + camera::sdk::takeErrorMessage(error);
  throw GenICam::RuntimeException(text);
}

void requireAnswering(const INode* node) {
  if (node->nodeMap().unresponsive()) {
    throw GenICam::TimeoutException(node->GetName() + ": the device does not answer any more");
  }
}

template <class Ptr>
INode* require(INode* node, const char* kind) {
  if (!node) throw GenICam::AccessException(std::string("Feature not present (reference not valid) for a ") + kind);
  requireAnswering(node);
  return node;
}

bool accessAllows(const INode* node, bool write) {
  if (!IsAvailable(node)) return false;
  Lock lock(node->nodeMap().lock());
  ArvGcAccessMode mode = arv_gc_feature_node_get_actual_access_mode(feature(node));
  if (write) return mode == ARV_GC_ACCESS_MODE_WO || mode == ARV_GC_ACCESS_MODE_RW;
  return mode == ARV_GC_ACCESS_MODE_RO || mode == ARV_GC_ACCESS_MODE_RW;
}

}  // namespace

INode::INode(INodeMap& map, ArvGcNode* node, std::string name) : map_(map), node_(node), name_(std::move(name)) {}

bool IsAvailable(const INode* node) {
  if (!node || node->nodeMap().unresponsive()) return false;
  Lock lock(node->nodeMap().lock());
  GError* error = nullptr;
  bool implemented = arv_gc_feature_node_is_implemented(feature(node), &error);
  if (error) {
    g_error_free(error);
    return false;
  }
  bool available = implemented && arv_gc_feature_node_is_available(feature(node), &error);
  if (error) {
    g_error_free(error);
    return false;
  }
  return available;
}

bool IsReadable(const INode* node) { return accessAllows(node, false); }
bool IsWritable(const INode* node) { return accessAllows(node, true); }

INodeMap::INodeMap(ArvDevice* device) : device_(device) {
  // Emitted on Aravis's heartbeat thread when the device stops answering.
  if (device_) {
    controlLostHandler_ = g_signal_connect(
        device_, "control-lost",
        G_CALLBACK(+[](ArvDevice*, gpointer map) { static_cast<INodeMap*>(map)->markUnresponsive(); }), this);
  }
}

INodeMap::~INodeMap() {
  if (device_ && controlLostHandler_) g_signal_handler_disconnect(device_, controlLostHandler_);
}

INode* INodeMap::GetNode(const std::string& name) {
  Lock lock(lock_);
  auto found = nodes_.find(name);
  if (found != nodes_.end()) return found->second.get();
  ArvGc* genicam = device_ ? arv_device_get_genicam(device_) : nullptr;
  ArvGcNode* node = genicam ? arv_gc_get_node(genicam, name.c_str()) : nullptr;
  if (!node || !ARV_IS_GC_FEATURE_NODE(node)) return nullptr;
  auto made = std::make_unique<INode>(*this, node, name);
  INode* raw = made.get();
  nodes_.emplace(name, std::move(made));
  return raw;
}

INode* INodeMap::entryNode(const std::string& enumeration, ArvGcNode* entry, const std::string& symbolic) {
  Lock lock(lock_);
  std::string key = enumeration + "/" + symbolic;
  auto found = entries_.find(key);
  if (found != entries_.end()) return found->second.get();
  auto made = std::make_unique<INode>(*this, entry, symbolic);
  INode* raw = made.get();
  entries_.emplace(key, std::move(made));
  return raw;
}

// --- integer ---

CIntegerPtr::CIntegerPtr(INode* node)
    : node_(node && ARV_IS_GC_INTEGER(node->arvNode()) && !ARV_IS_GC_ENUMERATION(node->arvNode()) ? node : nullptr) {}

int64_t CIntegerPtr::GetValue(bool, bool) {
  INode* node = require<CIntegerPtr>(node_, "CIntegerPtr");
  Lock lock(node->nodeMap().lock());
  GError* error = nullptr;
  gint64 value = arv_gc_integer_get_value(ARV_GC_INTEGER(node->arvNode()), &error);
  throwIf(error, node);
  return value;
}

int64_t CIntegerPtr::GetMin() {
  INode* node = require<CIntegerPtr>(node_, "CIntegerPtr");
  Lock lock(node->nodeMap().lock());
  GError* error = nullptr;
  gint64 value = arv_gc_integer_get_min(ARV_GC_INTEGER(node->arvNode()), &error);
  throwIf(error, node);
  return value;
}

int64_t CIntegerPtr::GetMax() {
  INode* node = require<CIntegerPtr>(node_, "CIntegerPtr");
  Lock lock(node->nodeMap().lock());
  GError* error = nullptr;
  gint64 value = arv_gc_integer_get_max(ARV_GC_INTEGER(node->arvNode()), &error);
  throwIf(error, node);
  return value;
}

void CIntegerPtr::SetValue(int64_t value, bool verify) {
  INode* node = require<CIntegerPtr>(node_, "CIntegerPtr");
  Lock lock(node->nodeMap().lock());
  if (!IsWritable(node)) throw GenICam::AccessException(node->GetName() + ": node is not writable");
  if (verify) {
    GError* error = nullptr;
    ArvGcInteger* integer = ARV_GC_INTEGER(node->arvNode());
    gint64 min = arv_gc_integer_get_min(integer, &error);
    throwIf(error, node);
    gint64 max = arv_gc_integer_get_max(integer, &error);
    throwIf(error, node);
    gint64 inc = arv_gc_integer_get_inc(integer, &error);
    throwIf(error, node);
    if (value < min || value > max) {
      throw GenICam::OutOfRangeException(node->GetName() + ": value " + std::to_string(value) + " must be within " +
                                         std::to_string(min) + ".." + std::to_string(max));
    }
    if (inc > 1 && (value - min) % inc != 0) {
      throw GenICam::OutOfRangeException(node->GetName() + ": value " + std::to_string(value) +
                                         " must be a multiple of " + std::to_string(inc) + " from " +
                                         std::to_string(min));
    }
  }
  GError* error = nullptr;
  arv_gc_integer_set_value(ARV_GC_INTEGER(node->arvNode()), value, &error);
  throwIf(error, node);
}

// --- enumeration ---

CEnumEntryPtr::CEnumEntryPtr(INode* node) : node_(node && ARV_IS_GC_ENUM_ENTRY(node->arvNode()) ? node : nullptr) {}

std::string CEnumEntryPtr::GetSymbolic() {
  INode* node = require<CEnumEntryPtr>(node_, "CEnumEntryPtr");
  return node->GetName();
}

CEnumerationPtr::CEnumerationPtr(INode* node)
    : node_(node && ARV_IS_GC_ENUMERATION(node->arvNode()) ? node : nullptr) {}

void CEnumerationPtr::GetEntries(NodeList_t& entries) {
  INode* node = require<CEnumerationPtr>(node_, "CEnumerationPtr");
  INodeMap& map = node->nodeMap();
  Lock lock(map.lock());
  entries.clear();
  for (const GSList* it = arv_gc_enumeration_get_entries(ARV_GC_ENUMERATION(node->arvNode())); it; it = it->next) {
    if (!ARV_IS_GC_FEATURE_NODE(it->data)) continue;
    const char* name = arv_gc_feature_node_get_name(ARV_GC_FEATURE_NODE(it->data));
    if (!name) continue;
    entries.push_back(map.entryNode(node->GetName(), static_cast<ArvGcNode*>(it->data), name));
  }
}

INode* CEnumerationPtr::GetEntryByName(const std::string& symbolic) {
  NodeList_t entries;
  GetEntries(entries);
  for (INode* entry : entries) {
    if (entry->GetName() == symbolic) return entry;
  }
  return nullptr;
}

void CEnumerationPtr::FromString(const std::string& symbolic, bool verify) {
  INode* node = require<CEnumerationPtr>(node_, "CEnumerationPtr");
  Lock lock(node->nodeMap().lock());
  if (!IsWritable(node)) throw GenICam::AccessException(node->GetName() + ": node is not writable");
  if (verify) {
    INode* entry = GetEntryByName(symbolic);
    if (!entry) {
      throw GenICam::InvalidArgumentException(node->GetName() + ": no entry '" + symbolic + "'");
    }
    if (!IsAvailable(entry)) {
      throw GenICam::AccessException(node->GetName() + ": entry '" + symbolic + "' is not available");
    }
  }
  GError* error = nullptr;
  arv_gc_enumeration_set_string_value(ARV_GC_ENUMERATION(node->arvNode()), symbolic.c_str(), &error);
  throwIf(error, node);
}

std::string CEnumerationPtr::ToString() {
  INode* node = require<CEnumerationPtr>(node_, "CEnumerationPtr");
  Lock lock(node->nodeMap().lock());
  GError* error = nullptr;
  const char* value = arv_gc_enumeration_get_string_value(ARV_GC_ENUMERATION(node->arvNode()), &error);
  throwIf(error, node);
  return value ? value : "";
}

// --- command ---

CCommandPtr::CCommandPtr(INode* node) : node_(node && ARV_IS_GC_COMMAND(node->arvNode()) ? node : nullptr) {}

void CCommandPtr::Execute(bool) {
  INode* node = require<CCommandPtr>(node_, "CCommandPtr");
  Lock lock(node->nodeMap().lock());
  if (!IsWritable(node)) throw GenICam::AccessException(node->GetName() + ": node is not writable");
  GError* error = nullptr;
  arv_gc_command_execute(ARV_GC_COMMAND(node->arvNode()), &error);
  throwIf(error, node);
}

}  // namespace GenApi
