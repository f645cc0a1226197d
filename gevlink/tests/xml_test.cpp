// Where a device's GenICam file is, and fetching it: files, archives, HTTP.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "fake_device.h"
#include "gevlink.h"
#include "gevlink/xml_fetch.h"
#include "gevlink/xml_location.h"

namespace gevlink {
namespace {

namespace fs = std::filesystem;

XmlLocation parse(const std::string& text) { return parseXmlLocation(text.c_str(), text.size() + 1); }

TEST(XmlLocation, FormsAndNames) {
  XmlLocation l = parse("Local:cam.xml;1A000;2f0");
  EXPECT_EQ(l.kind, XmlLocation::kLocal);
  EXPECT_TRUE(l.valid);
  EXPECT_FALSE(l.zip);
  EXPECT_EQ(l.name, "cam.xml");
  EXPECT_EQ(l.address, 0x1A000u);
  EXPECT_EQ(l.length, 0x2F0u);
  EXPECT_TRUE(parse("Local:CAM.ZIP;0;10").zip);
  for (const char* bad : {"Local:cam.Xml;0;10", "Local:cam.xml;0", "Local:cam.xml;zz;10", "Local:cam.xml;0;0",
                          "Local:cam.txt;0;10", "File:/tmp/a.xMl", "http://h/cam.Zip", "http:a"}) {
    XmlLocation b = parse(bad);
    EXPECT_NE(b.kind, XmlLocation::kOther) << bad;
    EXPECT_FALSE(b.valid) << bad;
  }
  EXPECT_EQ(parse("local:cam.xml;0;10").kind, XmlLocation::kOther);  // schemes are case-sensitive
  EXPECT_EQ(parse("").kind, XmlLocation::kOther);
  XmlLocation f = parse("File:/opt/cam/desc.ZIP");
  EXPECT_TRUE(f.valid && f.zip);
  EXPECT_EQ(f.name, "/opt/cam/desc.ZIP");
  // Text that fills the register without a zero ends at its end.
  std::string full(512, 'x');
  std::memcpy(full.data(), "File:/a.xml", 11);
  EXPECT_FALSE(parseXmlLocation(full.data(), full.size()).valid);
}

class XmlFetch : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/gevlink-xml-XXXXXX";
    dir_ = mkdtemp(name);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string read(const std::string& name) {
    std::ifstream in(dir_ + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  void write(const std::string& name, const void* data, std::size_t size) {
    std::ofstream(dir_ + "/" + name, std::ios::binary).write(static_cast<const char*>(data), std::streamsize(size));
  }
  MemoryReader noPort = [](uint32_t, void*, uint32_t) { FAIL() << "no port read expected"; };
  std::string dir_;
};

TEST_F(XmlFetch, FilesAndArchives) {
  std::string xml = testing::smallGenicamXml();
  std::vector<uint8_t> zip = testing::zipOf("first.xml", xml);
  write("src.zip", zip.data(), zip.size());
  fs::create_directory(dir_ + "/out");
  ASSERT_TRUE(fetchXml(parse("File:" + dir_ + "/src.zip"), noPort, dir_ + "/out").ok());
  EXPECT_EQ(read("out/CDF.XML"), xml);
  EXPECT_EQ(read("out/CDF.ZIP").size(), zip.size());

  TransportResult missing = fetchXml(parse("File:" + dir_ + "/none.xml"), noPort, dir_);
  EXPECT_EQ(missing.code, 0x20000084u);
  write("junk.zip", "not a zip", 9);
  TransportResult junk = fetchXml(parse("File:" + dir_ + "/junk.zip"), noPort, dir_);
  EXPECT_EQ(junk.status, 1208u);
  EXPECT_EQ(junk.code, 0x20000083u);
  TransportResult unwritable = fetchXml(parse("File:" + dir_ + "/src.zip"), noPort, dir_ + "/no/such/folder");
  EXPECT_EQ(unwritable.code, 0x20000087u);
  // Local: read in 16-byte units, written as the length says.
  std::vector<uint32_t> asked;
  MemoryReader port = [&](uint32_t address, void* out, uint32_t length) {
    asked = {address, length};
    std::memset(out, 'q', length);
  };
  ASSERT_TRUE(fetchXml(parse("Local:a.xml;100;21"), port, dir_).ok());
  EXPECT_EQ(asked, (std::vector<uint32_t>{0x100, 0x30}));
  EXPECT_EQ(read("CDF.XML"), std::string(0x21, 'q'));
}

// One HTTP exchange per connection on 127.0.0.1: answers with the given
// status line and body.
class TinyHttpServer {
 public:
  TinyHttpServer() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
    listen(fd_, 4);
  }
  ~TinyHttpServer() { ::close(fd_); }
  int port() const { return port_; }
  // Serves one request in the background; returns the request text.
  std::thread serve(std::string status, std::string body, std::string* request) {
    return std::thread([this, status, body, request] {
      int c = accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      char buf[4096];
      ssize_t n = recv(c, buf, sizeof buf, 0);
      if (n > 0) request->assign(buf, std::size_t(n));
      std::string reply = "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
                          "\r\nConnection: close\r\n\r\n" + body;
      send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
      ::close(c);
    });
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

TEST_F(XmlFetch, HttpDownloadAndRefusal) {
  TinyHttpServer server;
  std::string base = "http://127.0.0.1:" + std::to_string(server.port());
  std::string request;
  std::string xml = testing::smallGenicamXml();
  std::thread t = server.serve("200 OK", xml, &request);
  TransportResult r = fetchXml(parse(base + "/cam.xml"), noPort, dir_);
  t.join();
  ASSERT_TRUE(r.ok()) << r.code << " " << r.info;
  EXPECT_EQ(read("CDF.XML"), xml);
  EXPECT_NE(request.find("User-Agent: None"), std::string::npos) << request;
  EXPECT_NE(request.find("no-cache"), std::string::npos);
  t = server.serve("407 Proxy Authentication Required", "", &request);
  r = fetchXml(parse(base + "/cam.xml"), noPort, dir_);
  t.join();
  EXPECT_EQ(r.code, 0x20000084u);
  EXPECT_EQ(r.info, 407u);
}

}  // namespace
}  // namespace gevlink
