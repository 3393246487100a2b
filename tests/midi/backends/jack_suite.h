#pragma once
// One private JACK server for a whole test suite: started before its first test, stopped after
// its last. A suite derives, and calls startSuiteServer from its SetUpTestSuite.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/midi/backends/raw_jack_device.h"
#include "tests/support/jack_server.h"

namespace rt88h::testing {

class JackServerSuite : public ::testing::Test {
 protected:
  static void startSuiteServer(const std::string& prefix) {
    server_ = new PrivateJackServer;
    if (findJackd().empty()) return;
    started_ = server_->start(prefix + "-" + std::to_string(::getpid()), 256, jackServerAnswers,
                              &failure_);
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
    started_ = false;
    failure_.clear();
  }
  void SetUp() override {
    if (findJackd().empty()) GTEST_SKIP() << "jackd is not installed";
    ASSERT_TRUE(started_) << failure_;
  }

  static inline PrivateJackServer* server_ = nullptr;
  static inline bool started_ = false;
  static inline std::string failure_;
};

}  // namespace rt88h::testing
