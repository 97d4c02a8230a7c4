// Choosing the command: exact words only, and no input read on a wrong command line.
#include "front/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_alloc.h"
#include "fake_platform.h"
#include "std_streams.h"

namespace {

StreamsRun run_command(std::vector<std::string> args, const std::string &input = "0102\n") {
  fake_platform::reset();
  fake_alloc::reset();
  args.insert(args.begin(), "velkor-dpapi");
  std::vector<char *> argv;
  for (auto &arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  return run_with_streams(
      input, [&argv] { return run_command_line(static_cast<int>(argv.size() - 1), argv.data()); });
}

TEST(CommandLine, WrongCommandLinesReadNothing) {
  const std::string usage = "usage: velkor-dpapi protect|unprotect|selftest\n";
  const std::string unknown = "unknown command\n";
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{}, usage},
      {{"protect", "extra"}, usage},
      {{"selftest", "selftest"}, usage},
      {{"unprotect", ""}, usage},
      {{"PROTECT"}, unknown},
      {{"Protect"}, unknown},
      {{" protect"}, unknown},
      {{"protect "}, unknown},
      {{""}, unknown},
      {{"SELFTEST"}, unknown},
      {{"unprotec"}, unknown},
      {{"help"}, unknown},
  };
  for (const auto &c : cases) {
    const StreamsRun r = run_command(c.args);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.input_consumed, 0);
    EXPECT_TRUE(fake_platform::calls().empty());
  }
  EXPECT_EQ(usage.size(), 47u);
}

TEST(CommandLine, EachWordRunsItsHandler) {
  const struct {
    const char *word;
    std::vector<bool> seal_calls;  // the platform calls made, in order
    const char *out;
    bool reads_input;
  } cases[] = {
      {"protect", {true}, "777261703a0102\n", true},
      {"unprotect", {false}, "", true},  // "0102" is no blob of the fake's
      {"selftest", {true, false}, "ok\n", false},
  };
  for (const auto &c : cases) {
    const StreamsRun r = run_command({c.word});
    std::vector<bool> made;
    for (const auto &call : fake_platform::calls()) made.push_back(call.seal);
    EXPECT_EQ(made, c.seal_calls) << c.word;
    EXPECT_EQ(r.out, c.out) << c.word;
    EXPECT_EQ(r.input_consumed != 0, c.reads_input) << c.word;
  }
}

}  // namespace
