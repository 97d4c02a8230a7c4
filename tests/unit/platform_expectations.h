// What every data-protection call of the tool must be given.
#pragma once

#include <gtest/gtest.h>

#include "fake_platform.h"

inline void expect_tool_arguments(const fake_platform::Call &call) {
  const fake_platform::Bytes entropy = {'V', 'e', 'l', 'k', 'o', 'r', 'D', 'e', 's', 'k', '.', 'v',
                                        'a', 'u', 'l', 't', 'k', 'e', 'y', 's', '.', 'v', '2'};
  EXPECT_TRUE(call.entropy_given);
  EXPECT_EQ(call.entropy, entropy);
  EXPECT_FALSE(call.input_pointer_null);
  EXPECT_TRUE(call.reserved_null);
  EXPECT_TRUE(call.prompt_null);
  EXPECT_EQ(call.flags, 1u);  // CRYPTPROTECT_UI_FORBIDDEN and nothing else
  if (call.seal) {
    EXPECT_TRUE(call.description_given);
    EXPECT_EQ(call.description, std::basic_string<WCHAR>(PLATFORM_WIDE("Velkor wallet")));
  } else {
    EXPECT_FALSE(call.description_given);  // the description is not asked for
  }
}
