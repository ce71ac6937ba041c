// A fixture for tests against etcd: one 3-member cluster for each test suite, and a key prefix
// of its own for each test, named after it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "etcd_cluster.h"

class EtcdClusterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    try {
      cluster_ = std::make_unique<EtcdCluster>(EtcdCluster::Options());
    } catch (const std::exception& error) {
      failure_ = error.what();
    }
  }
  static void TearDownTestSuite() { cluster_.reset(); }
  void SetUp() override {
    ASSERT_NE(cluster_, nullptr) << "the etcd test cluster cannot run: " << failure_;
    prefix_ = "/test-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name());
  }

  inline static std::unique_ptr<EtcdCluster> cluster_;
  inline static std::string failure_;
  std::string prefix_;
};
