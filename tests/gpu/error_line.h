#pragma once

#include <gtest/gtest.h>

#include <string>

// A backend failure is one line that names the program, and nothing else.
inline void expect_one_error_line(const std::string& text) {
  EXPECT_EQ(text.rfind("tamrix-miner: ", 0), 0u) << text;
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
}
