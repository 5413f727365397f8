#pragma once

#include <syslog.h>

#include <ostream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/value.h>

#include "error/vexo_error.h"
#include "fake_pyload.h"
#include "fake_vexohost.h"
#include "json_text.h"
#include "syslog_capture.h"

namespace vexodl::fake {

// Whether a LogLine is the LOG_ERR line "<file>:<n> <text>", matched whole, n a line number.
MATCHER_P2(ErrorLine, file, text,
           "is the LOG_ERR line \"" + std::string(file) + ":<line> " + std::string(text) + "\"") {
  const std::string prefix = std::string(file) + ":";
  const std::size_t end = arg.text.compare(0, prefix.size(), prefix) == 0
                              ? arg.text.find_first_not_of("0123456789", prefix.size())
                              : prefix.size();
  *result_listener << "priority " << arg.priority << ", text \"" << arg.text << "\"";
  return arg.priority == LOG_ERR && end != prefix.size() && end != std::string::npos &&
         arg.text.substr(end) == " " + std::string(text);
}

// The host JSON object that `host` writes into a null value.
template <typename Host>
Json::Value JsonOf(Host& host) {
  Json::Value out;
  host.toJson(out);
  return out;
}

// Runs `operation` and returns the code of the vexodl::VexoError it throws, after checking that the
// error's message is empty, as it is for every error that the library raises itself.
template <typename Operation>
int LibraryErrorCode(Operation&& operation) {
  try {
    operation();
  } catch (const VexoError& error) {
    EXPECT_STREQ("", error.what()) << "code " << error.code;
    return error.code;
  }
  ADD_FAILURE() << "no VexoError was thrown";
  return -1;
}

// Fixture for tests against the fakes: both scripts and the syslog capture start empty.
class BackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Vexohost().Reset();
    Pyload().Reset();
    ClearSyslog();
  }
};

}  // namespace vexodl::fake
