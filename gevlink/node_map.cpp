#include "gevlink/node_map.h"

#include <arv.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace gevlink {

// ---- the ArvDevice subclass ------------------------------------------------

struct PortFailure {
  bool set = false;
  uint32_t kind = 0, status = 0, code = 0, info = 0;
};

}  // namespace gevlink

extern "C" {

struct GevlinkArvDevice {
  ArvDevice parent;
  gevlink::PortAccess* port;
  gevlink::PortFailure* failure;
  ArvGc* genicam;  // owned: ArvGc keeps only a plain pointer back to us
};
struct GevlinkArvDeviceClass {
  ArvDeviceClass parent;
};

static GType gevlink_arv_device_get_type();
G_DEFINE_TYPE(GevlinkArvDevice, gevlink_arv_device, ARV_TYPE_DEVICE)

static GevlinkArvDevice* asOurs(ArvDevice* d) { return reinterpret_cast<GevlinkArvDevice*>(d); }

static ArvGc* gevlink_get_genicam(ArvDevice* device) { return asOurs(device)->genicam; }

static gboolean gevlink_read_memory(ArvDevice* device, guint64 address, guint32 size, void* buffer, GError** error) {
  GevlinkArvDevice* self = asOurs(device);
  gevlink::TransportResult r =
      address > 0xFFFFFFFFull ? gevlink::TransportResult{87, 0, 0} : self->port->read(uint32_t(address), buffer, size);
  if (r.ok()) return TRUE;
  *self->failure = {true, 1, r.status, r.code, r.info};
  g_set_error(error, ARV_DEVICE_ERROR, ARV_DEVICE_ERROR_TRANSFER_ERROR, "port read failed");
  return FALSE;
}

static gboolean gevlink_write_memory(ArvDevice* device, guint64 address, guint32 size, void* buffer, GError** error) {
  GevlinkArvDevice* self = asOurs(device);
  gevlink::TransportResult r =
      address > 0xFFFFFFFFull ? gevlink::TransportResult{87, 0, 0} : self->port->write(uint32_t(address), buffer, size);
  if (r.ok()) return TRUE;
  *self->failure = {true, 2, r.status, r.code, r.info};
  g_set_error(error, ARV_DEVICE_ERROR, ARV_DEVICE_ERROR_TRANSFER_ERROR, "port write failed");
  return FALSE;
}

static gboolean gevlink_read_register(ArvDevice* device, guint64 address, guint32* value, GError** error) {
  guint32 be = 0;
  if (!gevlink_read_memory(device, address, 4, &be, error)) return FALSE;
  *value = GUINT32_FROM_BE(be);
  return TRUE;
}

static gboolean gevlink_write_register(ArvDevice* device, guint64 address, guint32 value, GError** error) {
  guint32 be = GUINT32_TO_BE(value);
  return gevlink_write_memory(device, address, 4, &be, error);
}

static void gevlink_arv_device_finalize(GObject* object) {
  GevlinkArvDevice* self = reinterpret_cast<GevlinkArvDevice*>(object);
  g_clear_object(&self->genicam);
  G_OBJECT_CLASS(gevlink_arv_device_parent_class)->finalize(object);
}

static void gevlink_arv_device_init(GevlinkArvDevice* self) {
  self->port = nullptr;
  self->failure = nullptr;
  self->genicam = nullptr;
}

static void gevlink_arv_device_class_init(GevlinkArvDeviceClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = gevlink_arv_device_finalize;
  ArvDeviceClass* device = ARV_DEVICE_CLASS(klass);
  device->get_genicam = gevlink_get_genicam;
  device->read_memory = gevlink_read_memory;
  device->write_memory = gevlink_write_memory;
  device->read_register = gevlink_read_register;
  device->write_register = gevlink_write_register;
}

}  // extern "C"

namespace gevlink {

struct NodeMap::Impl {
  PortAccess port;
  PortFailure failure;
  GevlinkArvDevice* device = nullptr;
  std::mutex mutex;  // ArvGc is not thread-safe

  ArvDevice* arv() { return ARV_DEVICE(device); }

  // Turns a GError (and a port failure behind it) into our exceptions.
  void raise(GError* error) {
    PortFailure f = failure;
    failure = {};
    if (f.set) {
      if (error) g_error_free(error);
      char text[256];
      std::snprintf(text, sizeof text,
                    f.kind == 1 ? "Error CommandPort Read. Code:0x%08X Info:0x%08X"
                                : "Error CommandPort Write. Code:0x%08X Info:0x%08X",
                    f.code, f.info);
      throw GDevExceptionI(f.kind, f.status, f.code, f.info, text);
    }
    std::string message = error ? error->message : "GenICam failure";
    if (error) g_error_free(error);
    throw GDevException(message.c_str());
  }
  void check(GError* error) {
    if (error || failure.set) raise(error);
  }
  ArvGcNode* node(const char* name) {
    ArvGcNode* n = device->genicam ? arv_gc_get_node(device->genicam, name) : nullptr;
    if (!n) {
      std::string text = std::string("node not found: ") + (name ? name : "(null)");
      throw GDevException(text.c_str());
    }
    return n;
  }
};

NodeMap::NodeMap(const std::vector<uint8_t>& xml, PortAccess port) : impl_(std::make_unique<Impl>()) {
  impl_->port = std::move(port);
  impl_->device = static_cast<GevlinkArvDevice*>(g_object_new(gevlink_arv_device_get_type(), nullptr));
  impl_->device->port = &impl_->port;
  impl_->device->failure = &impl_->failure;
  if (xml.empty()) throw GDevException("empty GenICam file");
  ArvGc* gc = arv_gc_new(impl_->arv(), xml.data(), xml.size());
  impl_->device->genicam = gc;
  // A file that does not parse gives a document without a root register
  // description: no "Root" node.
  if (!gc || !arv_gc_get_node(gc, "Root")) throw GDevException("the GenICam file cannot be loaded");
  arv_gc_set_range_check_policy(gc, ARV_RANGE_CHECK_POLICY_ENABLE);
}

NodeMap::~NodeMap() {
  if (impl_->device) g_object_unref(impl_->device);
}

bool NodeMap::hasNode(const char* name) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return name && impl_->device->genicam && arv_gc_get_node(impl_->device->genicam, name);
}

int64_t NodeMap::getInteger(const char* name) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->node(name);
  GError* error = nullptr;
  int64_t v = arv_device_get_integer_feature_value(impl_->arv(), name, &error);
  impl_->check(error);
  return v;
}

void NodeMap::setInteger(const char* name, int64_t value) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->node(name);
  GError* error = nullptr;
  arv_device_set_integer_feature_value(impl_->arv(), name, value, &error);
  impl_->check(error);
}

std::string NodeMap::getEnumSymbol(const char* name) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (!ARV_IS_GC_ENUMERATION(impl_->node(name))) throw GDevException("not an enumeration");
  GError* error = nullptr;
  const char* s = arv_device_get_string_feature_value(impl_->arv(), name, &error);
  impl_->check(error);
  return s ? s : "";
}

void NodeMap::setEnumSymbol(const char* name, const char* symbol) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (!ARV_IS_GC_ENUMERATION(impl_->node(name))) throw GDevException("not an enumeration");
  if (!symbol) throw GDevException("no symbol");
  GError* error = nullptr;
  arv_device_set_string_feature_value(impl_->arv(), name, symbol, &error);
  impl_->check(error);
}

std::vector<std::pair<std::string, int64_t>> NodeMap::enumEntries(const char* name) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  ArvGcNode* n = impl_->node(name);
  if (!ARV_IS_GC_ENUMERATION(n)) throw GDevException("not an enumeration");
  std::vector<std::pair<std::string, int64_t>> out;
  for (const GSList* e = arv_gc_enumeration_get_entries(ARV_GC_ENUMERATION(n)); e; e = e->next) {
    ArvGcEnumEntry* entry = ARV_GC_ENUM_ENTRY(e->data);
    GError* error = nullptr;
    int64_t v = arv_gc_enum_entry_get_value(entry, &error);
    impl_->check(error);
    const char* symbol = arv_gc_feature_node_get_name(ARV_GC_FEATURE_NODE(entry));
    out.emplace_back(symbol ? symbol : "", v);
  }
  // Aravis keeps the entries newest first: give them in the file's order.
  std::reverse(out.begin(), out.end());
  return out;
}

void NodeMap::execute(const char* name) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (!ARV_IS_GC_COMMAND(impl_->node(name))) throw GDevException("not a command");
  GError* error = nullptr;
  arv_device_execute_command(impl_->arv(), name, &error);
  impl_->check(error);
}

std::string NodeMap::getString(const char* name) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->node(name);
  GError* error = nullptr;
  const char* s = arv_device_get_string_feature_value(impl_->arv(), name, &error);
  impl_->check(error);
  return s ? s : "";
}

void NodeMap::portRead(void* buffer, uint32_t address, uint32_t length) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  GError* error = nullptr;
  gevlink_read_memory(impl_->arv(), address, length, buffer, &error);
  impl_->check(error);
}

void NodeMap::portWrite(const void* buffer, uint32_t address, uint32_t length) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  GError* error = nullptr;
  gevlink_write_memory(impl_->arv(), address, length, const_cast<void*>(buffer), &error);
  impl_->check(error);
}

uint32_t chooseControlPrivilege(const std::vector<std::pair<std::string, int64_t>>& entries, uint32_t fallback) {
  bool has1 = false;
  int64_t other = 0;
  for (const auto& [symbol, value] : entries) {
    if (value == 2) return 2;
    if (value == 1)
      has1 = true;
    else if (value != 0 && other == 0)
      other = value;
  }
  if (has1) return 1;
  if (other > 0 && other <= 0xFFFFFFFF) return uint32_t(other);
  return fallback;
}

}  // namespace gevlink
