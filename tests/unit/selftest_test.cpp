// The self-test against the programmable platform: every verdict and failure, and what each call
// was given.
#include "protect/selftest.h"

#include <gtest/gtest.h>

#include "fake_platform.h"
#include "platform_expectations.h"
#include "std_streams.h"

namespace {

using fake_platform::Bytes;
using fake_platform::Reply;

const Bytes payload = {'v', 'e', 'l', 'k', 'o', 'r', '-', 'd', 'p', 'a', 'p',
                       'i', '-', 's', 'e', 'l', 'f', 't', 'e', 's', 't', 0};

TEST(Selftest, VerdictsAndFailures) {
  Bytes changed = payload;
  changed[3] ^= 0x20;
  Bytes last_changed = payload;
  last_changed.back() = '!';  // same length, only the zero byte differs
  const Bytes truncated(payload.begin(), payload.end() - 1);
  const Bytes blob = {0xB1, 0x0B};
  Bytes wrapped = {'w', 'r', 'a', 'p', ':'};  // what the fake's own seal makes of the payload
  wrapped.insert(wrapped.end(), payload.begin(), payload.end());
  const struct {
    const char *name;
    std::vector<Reply> replies;  // none: the fake's own working seal and unseal
    std::size_t calls;
    const char *out;
    const char *err;
    int status;
  } cases[] = {
      {"working platform", {}, 2, "ok\n", "", 0},
      {"seal refused", {{false, 0x8009000B, {}}}, 1, "", "protect failed 2148073483\n", 4},
      {"unseal refused", {{true, 0, blob}, {false, 13, {}}}, 2, "", "unprotect failed 13\n", 4},
      {"opened without the zero byte",
       {{true, 0, blob}, {true, 0, truncated}},
       2,
       "mismatch\n",
       "",
       4},
      {"opened with one byte changed",
       {{true, 0, blob}, {true, 0, changed}},
       2,
       "mismatch\n",
       "",
       4},
      {"22 bytes, last byte changed",
       {{true, 0, blob}, {true, 0, last_changed}},
       2,
       "mismatch\n",
       "",
       4},
      {"opened empty", {{true, 0, blob}, {true, 0, {}}}, 2, "mismatch\n", "", 4},
  };
  for (const auto &c : cases) {
    fake_platform::reset();
    for (const Reply &reply : c.replies) fake_platform::push_reply(reply);
    const StreamsRun r = run_with_streams("00ff\n", run_selftest);
    EXPECT_EQ(r.out, c.out) << c.name;
    EXPECT_EQ(r.err, c.err) << c.name;
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_EQ(r.input_consumed, 0) << c.name;

    const auto &calls = fake_platform::calls();
    ASSERT_EQ(calls.size(), c.calls) << c.name;
    EXPECT_TRUE(calls[0].seal);
    EXPECT_EQ(calls[0].input, payload) << c.name;  // the zero byte is sealed too
    if (calls.size() > 1) {
      EXPECT_FALSE(calls[1].seal);
      // What the seal returned is what gets opened.
      EXPECT_EQ(calls[1].input, c.replies.empty() ? wrapped : blob) << c.name;
    }
    for (const auto &call : calls) expect_tool_arguments(call);
    // Every output handed out was released, on every path.
    EXPECT_EQ(fake_platform::live_outputs(), 0u) << c.name;
  }
}

TEST(Selftest, AVerdictThatCannotBeWrittenIsStatus5) {
  for (const bool match : {true, false}) {
    fake_platform::reset();
    if (!match) {
      fake_platform::push_reply({true, 0, {0xB1, 0x0B}});
      fake_platform::push_reply({true, 0, {}});
    }
    const StreamsRun r = run_with_streams("", run_selftest, true);
    EXPECT_EQ(r.err, "write failed\n") << match;
    EXPECT_EQ(r.status, 5) << match;
  }
}

}  // namespace
