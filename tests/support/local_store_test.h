// A fixture for tests of several logins on one local store: a file of its own in a scratch
// directory, written before each test, and logins to it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include <zor-qel-rb-key/qel_connection.h>
#include "scratch_files.h"

class LocalStoreTest : public ::testing::Test {
 protected:
  explicit LocalStoreTest(std::string text) : text_(std::move(text)) {}
  void SetUp() override { WriteWholeFile(path_, text_); }
  QELConnection Login() const {
    QELConnection connection(QELConnection::INI);
    connection.Login(path_, 0, "tester", "");
    return connection;
  }

  ScratchDirectory dir_;
  const std::string path_ = dir_.File("store.ini");

 private:
  const std::string text_;
};
