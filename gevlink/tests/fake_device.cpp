#include "fake_device.h"

#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "gevlink.h"

namespace gevlink::testing {

std::string smallGenicamXml() {
  return R"(<?xml version="1.0" encoding="utf-8"?>
<RegisterDescription ModelName="Fake" VendorName="Zelcam" StandardNameSpace="None" SchemaMajorVersion="1"
  SchemaMinorVersion="1" SchemaSubMinorVersion="0" MajorVersion="1" MinorVersion="0" SubMinorVersion="0"
  ToolTip="" ProductGuid="0" VersionGuid="0" xmlns="http://www.genicam.org/GenApi/Version_1_1">
  <Category Name="Root"><pFeature>Width</pFeature><pFeature>Height</pFeature></Category>
  <Integer Name="Width"><pValue>WidthReg</pValue><Min>16</Min><Max>4096</Max></Integer>
  <IntReg Name="WidthReg"><Address>0x10000</Address><Length>4</Length><AccessMode>RW</AccessMode>
    <pPort>Device</pPort><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></IntReg>
  <IntReg Name="Height"><Address>0x10004</Address><Length>4</Length><AccessMode>RW</AccessMode>
    <pPort>Device</pPort><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></IntReg>
  <IntReg Name="PayloadSize"><Address>0x10008</Address><Length>4</Length><AccessMode>RO</AccessMode>
    <pPort>Device</pPort><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></IntReg>
  <IntReg Name="Broken"><Address>0x20000</Address><Length>4</Length><AccessMode>RW</AccessMode>
    <pPort>Device</pPort><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></IntReg>
  <Enumeration Name="GevCCP">
    <EnumEntry Name="OpenAccess"><Value>0</Value></EnumEntry>
    <EnumEntry Name="ExclusiveAccess"><Value>1</Value></EnumEntry>
    <EnumEntry Name="ControlAccess"><Value>2</Value></EnumEntry>
    <pValue>CCPReg</pValue></Enumeration>
  <IntReg Name="CCPReg"><Address>0x0A00</Address><Length>4</Length><AccessMode>RW</AccessMode>
    <pPort>Device</pPort><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></IntReg>
  <Command Name="AcquisitionStart"><pValue>StartReg</pValue><CommandValue>1</CommandValue></Command>
  <IntReg Name="StartReg"><Address>0x1000C</Address><Length>4</Length><AccessMode>RW</AccessMode>
    <pPort>Device</pPort><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></IntReg>
  <Port Name="Device"/>
</RegisterDescription>
)";
}

std::vector<uint8_t> zipOf(const std::string& name, const std::string& content) {
  char path[] = "/tmp/gevlink-zip-XXXXXX";
  int fd = mkstemp(path);
  ::close(fd);
  zipFile z = zipOpen(path, APPEND_STATUS_CREATE);
  zipOpenNewFileInZip(z, name.c_str(), nullptr, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, Z_DEFAULT_COMPRESSION);
  zipWriteInFileInZip(z, content.data(), unsigned(content.size()));
  zipCloseFileInZip(z);
  zipClose(z, nullptr);
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(path);
  return bytes;
}

void FakeTransport::State::putText(uint32_t address, const std::string& text, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) memory[uint32_t(address + i)] = i < text.size() ? uint8_t(text[i]) : 0;
}
void FakeTransport::State::putBytes(uint32_t address, const void* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) memory[uint32_t(address + i)] = static_cast<const uint8_t*>(data)[i];
}
void FakeTransport::State::putRegister(uint32_t address, uint32_t value) {
  for (int i = 0; i < 4; ++i) memory[address + i] = uint8_t(value >> (24 - 8 * i));
}
void FakeTransport::State::push(const Completion& c) {
  std::lock_guard<std::mutex> lock(mutex);
  completions.push_back(c);
  changed.notify_all();
}

TransportResult FakeTransport::enumerate(uint32_t, std::vector<DiscoveryAnswer>& answers) {
  std::lock_guard<std::mutex> lock(s_->mutex);
  answers = s_->answers;
  return {};
}

TransportResult FakeTransport::open(uint32_t, uint32_t, uint64_t& id) {
  std::lock_guard<std::mutex> lock(s_->mutex);
  id = 0x5000 + uint64_t(++s_->opens);
  s_->ended = false;
  return {};
}

TransportResult FakeTransport::close(uint64_t) {
  std::lock_guard<std::mutex> lock(s_->mutex);
  ++s_->closes;
  return {};
}

TransportResult FakeTransport::takeControl(uint64_t, uint32_t privilege) {
  std::lock_guard<std::mutex> lock(s_->mutex);
  s_->privilege = privilege;
  return {};
}

TransportResult FakeTransport::readMemory(uint64_t, uint32_t address, void* out, uint32_t length) {
  std::lock_guard<std::mutex> lock(s_->mutex);
  s_->reads.push_back(address);
  for (uint32_t r : s_->refused)
    if (r >= address && r < address + length) return {GDEV_STATUS_GEN_FAILURE, 0x8003, r};
  auto* bytes = static_cast<uint8_t*>(out);
  for (uint32_t i = 0; i < length; ++i) {
    auto it = s_->memory.find(address + i);
    bytes[i] = it == s_->memory.end() ? 0 : it->second;
  }
  return {};
}

TransportResult FakeTransport::writeMemory(uint64_t, uint32_t address, const void* data, uint32_t length,
                                           uint32_t& written) {
  std::lock_guard<std::mutex> lock(s_->mutex);
  for (uint32_t r : s_->refused)
    if (r >= address && r < address + length) return {GDEV_STATUS_GEN_FAILURE, 0x8004, r};
  s_->putBytes(address, data, length);
  written = length;
  return {};
}

TransportResult FakeTransport::readRegisters(uint64_t id, const uint32_t* addresses, uint32_t* values, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t b[4];
    TransportResult r = readMemory(id, addresses[i], b, 4);
    if (!r.ok()) return r;
    values[i] = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
  }
  return {};
}

TransportResult FakeTransport::writeRegisters(uint64_t, const uint32_t* pairs, uint32_t count, uint32_t& written) {
  std::lock_guard<std::mutex> lock(s_->mutex);
  for (uint32_t i = 0; i < count; ++i) s_->putRegister(pairs[2 * i], pairs[2 * i + 1]);
  written = count;
  return {};
}

TransportResult FakeTransport::listStreams(uint64_t, std::vector<std::pair<uint32_t, uint32_t>>& streams) {
  streams = {{0x100, 0}, {0x101, 1}};
  return {};
}

TransportResult FakeTransport::waitCompletion(uint64_t, uint32_t timeoutMs, Completion& c) {
  std::unique_lock<std::mutex> lock(s_->mutex);
  s_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                       [&] { return s_->ended || !s_->completions.empty(); });
  if (s_->ended) return {GDEV_STATUS_OPERATION_ABORTED, 0, 0};
  if (s_->completions.empty()) return {GDEV_STATUS_EXTENDED_ERROR, 0, 0};
  c = s_->completions.front();
  s_->completions.pop_front();
  return {};
}

TransportResult FakeTransport::endStreaming(uint64_t) {
  std::lock_guard<std::mutex> lock(s_->mutex);
  s_->ended = true;
  s_->changed.notify_all();
  return {};
}

TransportResult FakeTransport::waitEvent(uint64_t, uint32_t timeoutMs, EventRecord& e) {
  std::unique_lock<std::mutex> lock(s_->mutex);
  auto ready = [&] { return s_->eventCancel; };
  if (!s_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs ? timeoutMs : 5000), ready))
    return {GDEV_STATUS_TIMEOUT, 0, 0};
  s_->eventCancel = false;
  (void)e;
  return {GDEV_STATUS_OPERATION_ABORTED, 0, 0};
}

TransportResult FakeTransport::cancelEvent(uint64_t) {
  std::lock_guard<std::mutex> lock(s_->mutex);
  s_->eventCancel = true;
  s_->changed.notify_all();
  return {};
}

}  // namespace gevlink::testing
