// The GenICam URL texts a device may put in its URL registers.
#include "gevlink/wire/bootstrap.h"

#include <gtest/gtest.h>

#include "gevlink/wire/tests/hex.h"

namespace gevlink::wire {
namespace {

TEST(Bootstrap, XmlUrls) {
  using Kind = XmlLocation::Kind;
  struct Case {
    const char* text;
    bool ok;
    Kind kind;
    const char* name;
    uint32_t address, length;
    bool zip;
  };
  const Case cases[] = {
      {"Local:head.zip;10000000;3A2F", true, Kind::Local, "head.zip", 0x10000000, 0x3A2F, true},
      {"Local:CAM.XML;0x8000;0x100?SchemaVersion=1.1.0", true, Kind::Local, "CAM.XML", 0x8000, 0x100, false},
      {"Local:cam.Xml;8000;100", false, Kind::Unknown, "", 0, 0, false},  // mixed case
      {"Local:cam.xml;8000", false, Kind::Unknown, "", 0, 0, false},
      {"Local:cam.xml;80g0;100", false, Kind::Unknown, "", 0, 0, false},
      {"Local:cam.xml;8000;0", false, Kind::Unknown, "", 0, 0, false},
      {"Local:cam.xml;FFFFFF00;101", false, Kind::Unknown, "", 0, 0, false},  // wraps past 4 GiB
      {"Local:cam.xml;1FFFFFFFF;10", false, Kind::Unknown, "", 0, 0, false},
      {"Local:;8000;100", false, Kind::Unknown, "", 0, 0, false},
      {"File:/opt/head/cam.ZIP", true, Kind::File, "/opt/head/cam.ZIP", 0, 0, true},
      {"File:/opt/head/cam.txt", false, Kind::Unknown, "", 0, 0, false},
      {"http://head.local/cam.xml", true, Kind::Http, "http://head.local/cam.xml", 0, 0, false},
      {"local:cam.xml;8000;100", true, Kind::Unknown, "", 0, 0, false},  // schemes are case-sensitive
      {"", true, Kind::Unknown, "", 0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    XmlLocation loc;
    ParseResult r = parseXmlUrl(c.text, loc);
    EXPECT_EQ(static_cast<bool>(r), c.ok) << (r.error ? r.error : "");
    if (!c.ok) continue;
    EXPECT_EQ(loc.kind, c.kind);
    EXPECT_EQ(loc.name, c.name);
    EXPECT_EQ(loc.address, c.address);
    EXPECT_EQ(loc.length, c.length);
    EXPECT_EQ(loc.zip, c.zip);
  }
  EXPECT_EQ(localXmlUrl("head.zip", 0x10000000, 0x3A2F), "Local:head.zip;10000000;3A2F");
  auto reg = test::cat({test::field("Local:a.xml;0;4", 512)});
  EXPECT_EQ(urlText(reg), "Local:a.xml;0;4");
  EXPECT_EQ(urlText(std::vector<uint8_t>(4, 'x')), "xxxx");  // no terminating zero
}

}  // namespace
}  // namespace gevlink::wire
