// The private namespace really is private: only `lo`, up, and a loopback
// broadcast reaches a child process too.
#include "sim/gige/testing/private_netns.h"

#include <gtest/gtest.h>
#include <net/if.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

TEST(PrivateNetns, OnlyLoopbackAndChildrenShareIt) {
  ZEL_REQUIRE_PRIVATE_NETNS();
  struct if_nameindex* names = if_nameindex();
  ASSERT_NE(names, nullptr);
  std::string all;
  for (struct if_nameindex* n = names; n->if_index != 0; ++n) all += std::string(n->if_name) + " ";
  if_freenameindex(names);
  EXPECT_EQ(all, "lo ");
  // A child sees the same namespace: its interface list is ours.
  FILE* p = ::popen("cat /proc/net/dev | tail -n +3 | cut -d: -f1 | tr -d ' '", "r");
  ASSERT_NE(p, nullptr);
  char line[64] = {};
  std::string child;
  while (std::fgets(line, sizeof line, p)) child += line;
  ::pclose(p);
  EXPECT_EQ(child, "lo\n");
}

}  // namespace
