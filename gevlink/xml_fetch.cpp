#include "gevlink/xml_fetch.h"

#include <curl/curl.h>
#include <sys/stat.h>
#include <unzip.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <vector>

#include "gevlink.h"

namespace gevlink {
namespace {

TransportResult extended(uint32_t code, uint32_t info = 0) { return {GDEV_STATUS_EXTENDED_ERROR, code, info}; }

TransportResult writeFile(const std::string& path, const void* data, std::size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return extended(GDEV_ERR_XML_WRITE, uint32_t(errno));
  bool ok = std::fwrite(data, 1, size, f) == size;
  int err = errno;
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) {
    std::remove(path.c_str());
    return extended(GDEV_ERR_XML_WRITE, uint32_t(err));
  }
  return {};
}

// Writes the fetched bytes as the XML, or as the archive and then its first
// file as the XML.
TransportResult store(const std::vector<uint8_t>& bytes, bool zip, const std::string& folder) {
  std::string xml = folder + "/" + kXmlFileName;
  if (!zip) return writeFile(xml, bytes.data(), bytes.size());
  std::string archive = folder + "/" + kZipFileName;
  TransportResult r = writeFile(archive, bytes.data(), bytes.size());
  return r.ok() ? unzipFirstFile(archive, xml) : r;
}

size_t collect(char* data, size_t size, size_t count, void* user) {
  auto* body = static_cast<std::vector<uint8_t>*>(user);
  // A description larger than this is not a description.
  if (body->size() + size * count > kMaxLocalXmlLength) return 0;
  body->insert(body->end(), data, data + size * count);
  return size * count;
}

TransportResult download(const std::string& url, std::vector<uint8_t>& body) {
  static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!initialised) return extended(GDEV_ERR_INTERNAL);
  CURL* curl = curl_easy_init();
  if (!curl) return extended(GDEV_ERR_INTERNAL);
  curl_slist* headers = curl_slist_append(nullptr, "Cache-Control: no-cache");
  headers = curl_slist_append(headers, "Pragma: no-cache");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "None");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 5000L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 30000L);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  CURLcode rc = curl_easy_perform(curl);
  long http = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &http);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  // A proxy that wants authentication (407) simply fails with its status.
  if (rc != CURLE_OK) return extended(GDEV_ERR_XML_LOCATION, uint32_t(rc));
  if (http < 200 || http >= 300) return extended(GDEV_ERR_XML_LOCATION, uint32_t(http));
  return {};
}

}  // namespace

TransportResult unzipFirstFile(const std::string& zipPath, const std::string& xmlPath) {
  unzFile zip = unzOpen64(zipPath.c_str());
  if (!zip) return extended(GDEV_ERR_ARCHIVE, uint32_t(UNZ_BADZIPFILE));
  int rc = unzGoToFirstFile(zip);
  unz_file_info64 info{};
  if (rc == UNZ_OK) rc = unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0);
  if (rc == UNZ_OK && info.uncompressed_size > kMaxLocalXmlLength) rc = UNZ_BADZIPFILE;
  if (rc == UNZ_OK) rc = unzOpenCurrentFile(zip);
  if (rc != UNZ_OK) {
    unzClose(zip);
    return extended(GDEV_ERR_ARCHIVE, uint32_t(rc));
  }
  std::vector<uint8_t> data;
  uint8_t chunk[65536];
  int n;
  // The declared size is not trusted: the inflated bytes are counted.
  while ((n = unzReadCurrentFile(zip, chunk, sizeof chunk)) > 0) {
    if (data.size() + std::size_t(n) > kMaxLocalXmlLength) {
      n = UNZ_BADZIPFILE;
      break;
    }
    data.insert(data.end(), chunk, chunk + n);
  }
  int closeRc = unzCloseCurrentFile(zip);  // UNZ_CRCERROR when the data is damaged
  unzClose(zip);
  if (n < 0) return extended(GDEV_ERR_ARCHIVE, uint32_t(n));
  if (closeRc != UNZ_OK) return extended(GDEV_ERR_ARCHIVE, uint32_t(closeRc));
  return writeFile(xmlPath, data.data(), data.size());
}

TransportResult fetchXml(const XmlLocation& loc, const MemoryReader& read, const std::string& folder) {
  if (loc.kind == XmlLocation::kOther) return {};
  if (!loc.valid) return extended(GDEV_ERR_XML_LOCATION);
  std::vector<uint8_t> bytes;
  switch (loc.kind) {
    case XmlLocation::kLocal: {
      // Read in whole 16-byte units: some devices refuse other lengths.
      uint32_t rounded = (loc.length + 15) & ~15u;
      bytes.resize(rounded);
      read(loc.address, bytes.data(), rounded);
      bytes.resize(loc.length);
      break;
    }
    case XmlLocation::kFile: {
      std::ifstream in(loc.name, std::ios::binary);
      struct stat st {};
      if (!in || stat(loc.name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return extended(GDEV_ERR_XML_LOCATION);
      if (uint64_t(st.st_size) > kMaxLocalXmlLength) return extended(GDEV_ERR_XML_LOCATION);
      bytes.resize(std::size_t(st.st_size));
      if (!in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size())))
        return extended(GDEV_ERR_XML_LOCATION);
      break;
    }
    case XmlLocation::kHttp: {
      TransportResult r = download(loc.name, bytes);
      if (!r.ok()) return r;
      break;
    }
    case XmlLocation::kOther: break;
  }
  return store(bytes, loc.zip, folder);
}

}  // namespace gevlink
