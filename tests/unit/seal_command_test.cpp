// The protect and unprotect handler against the programmable platform.
#include "protect/seal_command.h"

#include <gtest/gtest.h>

#include "fake_alloc.h"
#include "fake_platform.h"
#include "platform_expectations.h"
#include "std_streams.h"

namespace {

using fake_platform::Bytes;

class SealCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_platform::reset();
    fake_alloc::reset();
  }

  StreamsRun run(SealMode mode, const std::string &input) {
    return run_with_streams(input, [mode] { return run_seal_command(mode); });
  }

  // Every buffer of the run was released, and wiped before it was.
  void TearDown() override {
    EXPECT_EQ(fake_alloc::live_blocks(), 0u);
    EXPECT_EQ(fake_alloc::unwiped_releases(), 0u);
    EXPECT_EQ(fake_platform::live_outputs(), 0u);
    EXPECT_EQ(fake_platform::wiped_releases(), fake_platform::releases());
  }
};

TEST_F(SealCommand, ProtectSealsTheDecodedBytesAndPrintsTheBlob) {
  const StreamsRun r = run(SealMode::seal, "00Ab f\r\nf\n");
  EXPECT_EQ(r.out, "777261703a00abff\n");  // the fake's "wrap:" and the input
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(fake_platform::calls().size(), 1u);
  EXPECT_TRUE(fake_platform::calls()[0].seal);
  EXPECT_EQ(fake_platform::calls()[0].input, (Bytes{0x00, 0xAB, 0xFF}));
  expect_tool_arguments(fake_platform::calls()[0]);
  EXPECT_EQ(fake_platform::releases(), 1u);
}

TEST_F(SealCommand, UnprotectOpensTheBlobAndPrintsTheBytes) {
  const StreamsRun r = run(SealMode::unseal, "777261703a0102fe\n");
  EXPECT_EQ(r.out, "0102fe\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(fake_platform::calls().size(), 1u);
  EXPECT_FALSE(fake_platform::calls()[0].seal);
  expect_tool_arguments(fake_platform::calls()[0]);
  EXPECT_EQ(fake_platform::releases(), 1u);
}

TEST_F(SealCommand, EmptyInputIsSealedFromARealBlock) {
  const StreamsRun r = run(SealMode::seal, "\r\n");
  EXPECT_EQ(r.out, "777261703a\n");
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(fake_platform::calls().size(), 1u);
  EXPECT_TRUE(fake_platform::calls()[0].input.empty());
  expect_tool_arguments(fake_platform::calls()[0]);  // a valid pointer, not null
}

TEST_F(SealCommand, EmptyOutputPrintsOneLineFeedAndIsReleased) {
  fake_platform::push_reply({true, 0, {}});
  const StreamsRun r = run(SealMode::unseal, "00");
  EXPECT_EQ(r.out, "\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(fake_platform::releases(), 1u);
}

TEST_F(SealCommand, PlatformFailurePrintsItsCodeUnsigned) {
  const struct {
    SealMode mode;
    DWORD code;
    const char *err;
  } cases[] = {
      {SealMode::seal, 13, "DPAPI protect failed (error 13)\n"},
      {SealMode::unseal, 13, "DPAPI unprotect failed (error 13)\n"},
      {SealMode::seal, 0x8009000B, "DPAPI protect failed (error 2148073483)\n"},
      {SealMode::unseal, 0xFFFFFFFF, "DPAPI unprotect failed (error 4294967295)\n"},
      {SealMode::seal, 0, "DPAPI protect failed (error 0)\n"},
  };
  for (const auto &c : cases) {
    SetUp();
    fake_platform::push_reply({false, c.code, {}});
    const StreamsRun r = run(c.mode, "5ec2e7");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, 4);
    ASSERT_EQ(fake_platform::calls().size(), 1u);
    EXPECT_EQ(fake_platform::calls()[0].input, (Bytes{0x5E, 0xC2, 0xE7}));
    // The decoded secret was wiped and released even though the call failed.
    EXPECT_EQ(fake_alloc::live_blocks(), 0u);
    EXPECT_EQ(fake_alloc::unwiped_releases(), 0u);
  }
}

TEST_F(SealCommand, OutputThatCannotBeWrittenIsStatus5) {
  for (const SealMode mode : {SealMode::seal, SealMode::unseal}) {
    SCOPED_TRACE(mode == SealMode::seal ? "protect" : "unprotect");
    SetUp();
    const StreamsRun r = run_with_streams(
        mode == SealMode::seal ? "0102" : "777261703a0102",
        [mode] { return run_seal_command(mode); }, true);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "write failed\n");
    EXPECT_EQ(r.status, 5);
    // Every buffer was wiped and released all the same.
    EXPECT_EQ(fake_platform::releases(), 1u);
    EXPECT_EQ(fake_platform::wiped_releases(), 1u);
    EXPECT_EQ(fake_alloc::live_blocks(), 0u);
    EXPECT_EQ(fake_alloc::unwiped_releases(), 0u);
  }
}

TEST_F(SealCommand, BadInputMakesNoPlatformCall) {
  const struct {
    const char *input;
    std::size_t fail_allocation;
  } cases[] = {{"abc", 0}, {"0x00", 0}, {"00\t", 0}, {"00", 1}, {"00", 2}};
  for (const SealMode mode : {SealMode::seal, SealMode::unseal}) {
    for (const auto &c : cases) {
      fake_alloc::reset(c.fail_allocation);
      const StreamsRun r = run(mode, c.input);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, "bad input\n");
      EXPECT_EQ(r.status, 3);
      EXPECT_TRUE(fake_platform::calls().empty());
    }
  }
}

TEST_F(SealCommand, RunningOutOfMemoryAnywhereIsBadInput) {
  // 300,000 digits take text blocks of 64, 128, 256 and 512 KiB, then the decoded block.
  const std::string input(300000, 'c');
  for (std::size_t fail_at = 1; fail_at <= 5; ++fail_at) {
    fake_alloc::reset(fail_at);
    const StreamsRun r = run(SealMode::seal, input);
    EXPECT_EQ(r.out, "") << "allocation " << fail_at;
    EXPECT_EQ(r.err, "bad input\n") << "allocation " << fail_at;
    EXPECT_EQ(r.status, 3) << "allocation " << fail_at;
    EXPECT_EQ(fake_alloc::sizes().size(), fail_at);
    EXPECT_EQ(fake_alloc::live_blocks(), 0u) << "allocation " << fail_at;
    EXPECT_EQ(fake_alloc::unwiped_releases(), 0u) << "allocation " << fail_at;
  }
  EXPECT_TRUE(fake_platform::calls().empty());
}

}  // namespace
