// gtest main for test programs that need a private network namespace: enters
// it before gtest (or anything else) can start a thread. A failure is not
// fatal: the tests that need the namespace skip with the reason.
#include <gtest/gtest.h>

#include "sim/gige/testing/private_netns.h"

int main(int argc, char** argv) {
  sim::netns::enterPrivateNetwork();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
