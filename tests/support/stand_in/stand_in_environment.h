// A GoogleTest global environment that starts the process-wide stand-in before any test runs.
//
// The tool reads its service hosts once per process, so a test program whose tests send
// requests through the tool includes this header: it registers the environment once.
#pragma once

#include <gtest/gtest.h>

#include "support/stand_in/stand_in.h"

namespace kestrin::test_support {

// Starts shared_stand_in() (which exports the hosts); the run fails when it cannot start.
class StandInEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    StandIn& stand_in = shared_stand_in();
    ASSERT_TRUE(stand_in.ok()) << stand_in.error();
  }
};

[[maybe_unused]] inline const ::testing::Environment* const kStandInEnvironment =
    ::testing::AddGlobalTestEnvironment(new StandInEnvironment);

}  // namespace kestrin::test_support
