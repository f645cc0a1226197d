#include "sim/head/genicam_xml.h"

#include <zlib.h>

#include <cstdio>

#include "sim/head/register_map.h"

namespace sim::head {
namespace {

std::string hex(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%X", v);
  return b;
}

std::string header(const char* model) {
  return std::string(
             "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
             "<RegisterDescription ModelName=\"") +
         model +
         "\" VendorName=\"zelcam\" ToolTip=\"zelsim virtual head\" StandardNameSpace=\"None\""
         " SchemaMajorVersion=\"1\" SchemaMinorVersion=\"1\" SchemaSubMinorVersion=\"0\""
         " MajorVersion=\"1\" MinorVersion=\"0\" SubMinorVersion=\"0\""
         " ProductGuid=\"5a454c53-494d-4845-4144-000000000001\" VersionGuid=\"5a454c53-494d-4845-4144-000000000002\""
         " xmlns=\"http://www.genicam.org/GenApi/Version_1_1\""
         " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
         " xsi:schemaLocation=\"http://www.genicam.org/GenApi/Version_1_1 "
         "http://www.genicam.org/GenApi/GenApiSchema_Version_1_1.xsd\">\n";
}

std::string category(const std::string& name, const std::vector<std::string>& features) {
  std::string s = "<Category Name=\"" + name + "\" NameSpace=\"Standard\">\n";
  for (const std::string& f : features) s += "  <pFeature>" + f + "</pFeature>\n";
  return s + "</Category>\n";
}

std::string intReg(const std::string& name, uint32_t address, const char* access) {
  return "<IntReg Name=\"" + name + "\">\n  <Address>" + hex(address) +
         "</Address>\n  <Length>4</Length>\n  <AccessMode>" + access +
         "</AccessMode>\n  <pPort>Device</pPort>\n  <Cachable>NoCache</Cachable>\n"
         "  <Sign>Unsigned</Sign>\n  <Endianess>BigEndian</Endianess>\n</IntReg>\n";
}

// An Integer feature over its own register "<name>Reg".
std::string integer(const std::string& name, uint32_t address, const char* access, long long min, long long max) {
  return "<Integer Name=\"" + name + "\" NameSpace=\"Standard\">\n  <pValue>" + name + "Reg</pValue>\n  <Min>" +
         std::to_string(min) + "</Min>\n  <Max>" + std::to_string(max) + "</Max>\n</Integer>\n" +
         intReg(name + "Reg", address, access);
}

std::string command(const std::string& name, uint32_t address) {
  return "<Command Name=\"" + name + "\" NameSpace=\"Standard\">\n  <pValue>" + name +
         "Reg</pValue>\n  <CommandValue>1</CommandValue>\n</Command>\n" + intReg(name + "Reg", address, "WO");
}

std::string enumeration(const std::string& name, uint32_t address,
                        const std::vector<std::pair<std::string, uint32_t>>& entries) {
  std::string s = "<Enumeration Name=\"" + name + "\" NameSpace=\"Standard\">\n";
  for (const auto& [entry, value] : entries)
    s += "  <EnumEntry Name=\"" + entry + "\">\n    <Value>" + std::to_string(value) + "</Value>\n  </EnumEntry>\n";
  s += "  <pValue>" + name + "Reg</pValue>\n</Enumeration>\n";
  return s + intReg(name + "Reg", address, "RW");
}

std::string stringReg(const std::string& name, uint32_t address, int length, const char* access) {
  return "<StringReg Name=\"" + name + "\" NameSpace=\"Standard\">\n  <Address>" + hex(address) +
         "</Address>\n  <Length>" + std::to_string(length) + "</Length>\n  <AccessMode>" + access +
         "</AccessMode>\n  <pPort>Device</pPort>\n  <Cachable>NoCache</Cachable>\n</StringReg>\n";
}

// The features every kind shares, served from the bootstrap block.
std::string transportFeatures() {
  std::string s;
  s += stringReg("DeviceVendorName", bootstrap::kManufacturerName, 32, "RO");
  s += stringReg("DeviceModelName", bootstrap::kModelName, 32, "RO");
  s += stringReg("DeviceVersion", bootstrap::kDeviceVersion, 32, "RO");
  s += stringReg("DeviceID", bootstrap::kSerialNumber, 16, "RO");
  s += stringReg("DeviceUserID", bootstrap::kUserDefinedName, 16, "RW");
  // Packet size: the low 16 bits of SCPS (bit 0 is the MSB of a big-endian
  // register in GenICam's numbering).
  s += "<Integer Name=\"GevSCPSPacketSize\" NameSpace=\"Standard\">\n  <pValue>GevSCPSPacketSizeReg</pValue>\n"
       "  <Min>576</Min>\n  <Max>9000</Max>\n</Integer>\n"
       "<MaskedIntReg Name=\"GevSCPSPacketSizeReg\">\n  <Address>" +
       hex(bootstrap::kScps) +
       "</Address>\n  <Length>4</Length>\n  <AccessMode>RW</AccessMode>\n  <pPort>Device</pPort>\n"
       "  <Cachable>NoCache</Cachable>\n  <LSB>31</LSB>\n  <MSB>16</MSB>\n  <Sign>Unsigned</Sign>\n"
       "  <Endianess>BigEndian</Endianess>\n</MaskedIntReg>\n";
  s += integer("GevSCPD", bootstrap::kScpd, "RW", 0, 0x7fffffff);
  // 64-bit tick frequency over the high and low bootstrap registers.
  s += "<IntReg Name=\"GevTimestampTickFrequency\" NameSpace=\"Standard\">\n  <Address>" +
       hex(bootstrap::kTickFrequencyHigh) +
       "</Address>\n  <Length>8</Length>\n  <AccessMode>RO</AccessMode>\n  <pPort>Device</pPort>\n"
       "  <Sign>Unsigned</Sign>\n  <Endianess>BigEndian</Endianess>\n</IntReg>\n";
  s += command("GevTimestampControlReset", bootstrap::kTimestampControl);
  return s;
}

const std::vector<std::string> kTransportNames = {"DeviceVendorName",
                                                  "DeviceModelName",
                                                  "DeviceVersion",
                                                  "DeviceID",
                                                  "DeviceUserID",
                                                  "GevSCPSPacketSize",
                                                  "GevSCPD",
                                                  "GevTimestampTickFrequency",
                                                  "GevTimestampControlReset"};

std::vector<std::string> withTransport(std::vector<std::string> names) {
  names.insert(names.end(), kTransportNames.begin(), kTransportNames.end());
  return names;
}

}  // namespace

std::string cameraXml(int width, int height) {
  std::string s = header("ZelsimCamera");
  s += category(
      "Root", withTransport({"Width", "Height", "PixelFormat", "PayloadSize", "ExposureTimeRaw", "GainRaw",
                             "TriggerSelector", "TriggerMode", "TriggerSource", "TriggerActivation", "AcquisitionMode",
                             "AcquisitionStart", "AcquisitionStop", "TriggerSoftware", "TLParamsLocked"}));
  s += integer("Width", camreg::kWidth, "RW", width, width);
  s += integer("Height", camreg::kHeight, "RW", height, height);
  s += enumeration("PixelFormat", camreg::kPixelFormat, {{"Mono8", camreg::kMono8}, {"Mono16", camreg::kMono16}});
  s += integer("PayloadSize", camreg::kPayloadSize, "RO", 0, 0x7fffffff);
  s += integer("ExposureTimeRaw", camreg::kExposureTimeRaw, "RW", 1, camreg::kMaxExposure);
  s += integer("GainRaw", camreg::kGainRaw, "RW", 0, camreg::kMaxGain);
  s += enumeration("TriggerSelector", camreg::kTriggerSelector, {{"FrameStart", 0}, {"AcquisitionStart", 1}});
  s += enumeration("TriggerMode", camreg::kTriggerMode, {{"Off", 0}, {"On", 1}});
  s += enumeration(
      "TriggerSource", camreg::kTriggerSource,
      {{"Software", camreg::kSourceSoftware}, {"Line1", camreg::kSourceLine1}, {"Hardware", camreg::kSourceHardware}});
  s += enumeration("TriggerActivation", camreg::kTriggerActivation, {{"RisingEdge", 0}});
  s += enumeration("AcquisitionMode", camreg::kAcquisitionMode, {{"Continuous", 0}});
  s += command("AcquisitionStart", camreg::kAcquisitionStart);
  s += command("AcquisitionStop", camreg::kAcquisitionStop);
  s += command("TriggerSoftware", camreg::kTriggerSoftware);
  s += integer("TLParamsLocked", camreg::kTLParamsLocked, "RW", 0, 1);
  s += transportFeatures();
  s += "<Port Name=\"Device\" NameSpace=\"Standard\"/>\n</RegisterDescription>\n";
  return s;
}

std::string stereoHeadXml() {
  std::string s = header("ZelsimStereoHead");
  s += category("Root", withTransport({"Width", "Height", "PayloadSize", "TLParamsLocked", "AcquisitionStart",
                                       "AcquisitionStop", "HeadExposure", "HeadAnalogGain", "HeadGain", "HeadTrigger",
                                       "HeadTransferMode", "HeadPixelClockDelay", "HeadFirmware"}));
  s += integer("Width", headreg::kWidth, "RW", 64, 8192);
  s += integer("Height", headreg::kHeight, "RW", 16, 4096);
  s += integer("PayloadSize", headreg::kPayloadSize, "RO", 0, 0x7fffffff);
  s += integer("TLParamsLocked", headreg::kTLParamsLocked, "RW", 0, 1);
  s += command("AcquisitionStart", headreg::kAcquisitionStart);
  s += command("AcquisitionStop", headreg::kAcquisitionStop);
  s += integer("HeadExposure", headreg::kExposure, "RW", 1, 1000000);
  s += integer("HeadAnalogGain", headreg::kAnalogGain, "RW", 0, headreg::kMaxAnalogGain);
  s += integer("HeadGain", headreg::kGain, "RW", 0, 1000);
  s += integer("HeadTrigger", headreg::kTrigger, "RW", 0, 1);
  s += integer("HeadTransferMode", headreg::kTransferMode, "RW", 0, 0x7fffffff);
  s += integer("HeadPixelClockDelay", headreg::kPixelClockDelay, "RW", 0, 0x7fffffff);
  s += integer("HeadFirmware", headreg::kFirmware, "RO", 0, 0xffffffffLL);
  s += transportFeatures();
  s += "<Port Name=\"Device\" NameSpace=\"Standard\"/>\n</RegisterDescription>\n";
  return s;
}

namespace {
void put16(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
  put16(v, x & 0xffff);
  put16(v, x >> 16);
}
}  // namespace

std::vector<uint8_t> zipOneFile(const std::string& name, const std::string& data) {
  const uint32_t crc =
      static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
  const uint32_t size = static_cast<uint32_t>(data.size());
  // Raw deflate (no zlib header), as a zip entry of method 8 holds it.
  std::vector<uint8_t> packed(compressBound(static_cast<uLong>(data.size())) + 64);
  z_stream zs{};
  uint32_t method = 8;
  uint32_t packedSize = size;
  if (deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK) {
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = packed.data();
    zs.avail_out = static_cast<uInt>(packed.size());
    if (deflate(&zs, Z_FINISH) == Z_STREAM_END) {
      packedSize = static_cast<uint32_t>(zs.total_out);
      packed.resize(packedSize);
    } else {
      method = 0;
    }
    deflateEnd(&zs);
  } else {
    method = 0;
  }
  if (method == 0) packed.assign(data.begin(), data.end());           // stored
  const uint32_t dosTime = 0, dosDate = (46u << 9) | (1u << 5) | 1u;  // 2026-01-01
  const uint32_t version = method == 8 ? 20 : 10;
  std::vector<uint8_t> z;
  put32(z, 0x04034b50);  // local file header
  put16(z, version);
  put16(z, 0);  // flags
  put16(z, method);
  put16(z, dosTime);
  put16(z, dosDate);
  put32(z, crc);
  put32(z, packedSize);
  put32(z, size);
  put16(z, static_cast<uint32_t>(name.size()));
  put16(z, 0);
  z.insert(z.end(), name.begin(), name.end());
  z.insert(z.end(), packed.begin(), packed.end());
  const uint32_t central = static_cast<uint32_t>(z.size());
  put32(z, 0x02014b50);  // central directory entry
  put16(z, 20);          // made by
  put16(z, version);
  put16(z, 0);
  put16(z, method);
  put16(z, dosTime);
  put16(z, dosDate);
  put32(z, crc);
  put32(z, packedSize);
  put32(z, size);
  put16(z, static_cast<uint32_t>(name.size()));
  put16(z, 0);  // extra
  put16(z, 0);  // comment
  put16(z, 0);  // disk
  put16(z, 0);  // internal attributes
  put32(z, 0);  // external attributes
  put32(z, 0);  // local header offset
  z.insert(z.end(), name.begin(), name.end());
  const uint32_t centralSize = static_cast<uint32_t>(z.size()) - central;
  put32(z, 0x06054b50);  // end of central directory
  put16(z, 0);
  put16(z, 0);
  put16(z, 1);
  put16(z, 1);
  put32(z, centralSize);
  put32(z, central);
  put16(z, 0);
  return z;
}

}  // namespace sim::head
