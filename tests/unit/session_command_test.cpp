// The session handler against the programmable platform: many requests through one run.
#include "protect/session_command.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "fake_alloc.h"
#include "fake_platform.h"
#include "front/command_line.h"
#include "hex/line_input.h"
#include "hex/stream_buffers.h"
#include "platform_expectations.h"
#include "protect/seal_command.h"
#include "std_streams.h"

namespace {

using fake_platform::Bytes;
using namespace std::string_literals;

// Holds 511 characters: the 512th of a line is over the limit.
constexpr TextLimits kSmallLimits = {16, 256};

std::string repeated(const std::string &text, std::size_t times) {
  std::string all;
  for (std::size_t i = 0; i < times; ++i) all += text;
  return all;
}

// Random session input: lines of every kind a caller might send, good or not, and some over the
// scaled-down limit.
class RandomRequests {
 public:
  explicit RandomRequests(unsigned seed) : random_(seed) {}

  std::size_t below(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
  }
  bool one_in(std::size_t n) { return below(n) == 0; }

  // A request line, without its line feed.
  std::string line() {
    static const char *const verbs[] = {"protect", "unprotect"};
    std::string text;
    switch (below(8)) {
      case 0:
      case 1:
        text = request(verbs[below(2)], hex(random_bytes(below(24))));
        break;
      case 2:  // a blob the fake opens
        text = request("unprotect", hex("wrap:" + random_bytes(below(24))));
        break;
      case 3:  // not hex: a byte of no digit, or an odd count
        text = request(verbs[below(2)], not_hex());
        break;
      case 4:
        text = unknown_verb();
        if (!one_in(3)) text += std::string(1, " \r"[below(2)]) + hex(random_bytes(below(4)));
        break;
      case 5:  // empty and blank lines
        text = std::string(below(3), ' ') + std::string(below(2), '\r');
        break;
      case 6:  // over the limit, with more after it
        text = request(verbs[below(2)], spread(std::string(512 + below(600), 'a')));
        if (one_in(2)) text += "\r" + request("protect", "00");
        break;
      default:  // at the limit: the most the reader holds, or one short of it
        text = request(verbs[below(2)], spread(std::string(510 + below(2), 'b')));
        break;
    }
    for (std::size_t i = below(4); i > 0 && one_in(2); --i) {  // carriage returns anywhere
      text.insert(below(text.size() + 1), 1, '\r');
    }
    return text;
  }

 private:
  std::string random_bytes(std::size_t count) {
    std::string bytes;
    for (std::size_t i = 0; i < count; ++i) bytes += static_cast<char>(below(256));
    return bytes;
  }

  // The hex of `bytes` in either case, spaces and carriage returns spread through it.
  std::string hex(const std::string &bytes) {
    static const char lower[] = "0123456789abcdef";
    static const char upper[] = "0123456789ABCDEF";
    const char *digits = one_in(4) ? upper : lower;
    std::string text;
    for (const char byte : bytes) {
      text += digits[static_cast<unsigned char>(byte) >> 4];
      text += digits[static_cast<unsigned char>(byte) & 15];
    }
    return spread(text);
  }

  std::string spread(std::string text) {
    for (std::size_t i = below(4); i > 0; --i) {
      text.insert(below(text.size() + 1), 1, " \r"[below(2)]);
    }
    return text;
  }

  std::string not_hex() {
    static const char foreign[] = {'\t', 'g', 'x', 'G', '\0', '\x1a', '\x80', '\xff', '-', '\x0b'};
    std::string text = hex(random_bytes(1 + below(8)));
    if (one_in(3)) return text + "a";
    text.insert(below(text.size() + 1), 1, foreign[below(sizeof foreign)]);
    return text;
  }

  std::string unknown_verb() {
    static const char *const words[] = {
        "",         "PROTECT", "Protect",     "protectx",          "unprotected", "protec",
        "unprotec", "open",    "selftest",    "session",           "protect\t00", "\x01",
        "\xc3\xa9", "x",       "protect\xff", "unprotectunprotect"};
    return words[below(sizeof words / sizeof words[0])];
  }

  std::string request(const char *verb, const std::string &text) {
    if (text.empty() && one_in(2)) return verb;
    return verb + std::string(1, " \r"[below(2)]) + text;
  }

  std::mt19937 random_;
};

// What the one-shot command line answers to one session request alone, spelled as the session's
// answer: the request's verb as the command word, the rest of its line as standard input.
std::string one_shot_answer(const std::string &line) {
  const std::size_t verb_end = line.find_first_of(" \r");
  std::string verb = line.substr(0, verb_end);
  const std::string rest = verb_end == std::string::npos ? "" : line.substr(verb_end + 1);
  // Commands of the command line, but no requests.
  if (verb == "selftest" || verb == "session") return "error 2 unknown command\n";
  StreamsRun r;
  if (verb == "protect" || verb == "unprotect") {
    const SealMode mode = verb == "protect" ? SealMode::seal : SealMode::unseal;
    r = run_with_streams(rest, [mode] { return run_seal_command(mode, kSmallLimits); });
  } else {
    char name[] = "velkor-dpapi";
    char *argv[] = {name, verb.data(), nullptr};
    r = run_with_streams(rest, [&argv] { return run_command_line(2, argv); });
  }
  if (r.status == 0) return "ok " + r.out;
  return "error " + std::to_string(r.status) + " " + r.err;
}

std::string shown(const std::string &bytes) {
  std::string text;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
      text += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      text += escaped;
    }
  }
  return text.size() <= 200 ? text : text.substr(0, 100) + " ... " + text.substr(text.size() - 100);
}

class Session : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_platform::reset();
    fake_alloc::reset();
  }

  static StreamsRun run(const std::string &input, const TextLimits &limits = kTextLimits,
                        bool output_fails = false) {
    return run_with_streams(
        input, [&limits] { return run_session(limits); }, output_fails);
  }

  // Every buffer of the run was released, and wiped before it was.
  void TearDown() override {
    EXPECT_EQ(fake_alloc::live_blocks(), 0u);
    EXPECT_EQ(fake_alloc::unwiped_releases(), 0u);
    EXPECT_EQ(fake_platform::live_outputs(), 0u);
    EXPECT_EQ(fake_platform::wiped_releases(), fake_platform::releases());
  }
};

TEST_F(Session, AnswersEveryRequestInOrderAndGoesOnAfterABadOne) {
  // The fake seals by putting "wrap:" (777261703a) before the input, and opens by taking it off.
  const struct {
    const char *name;
    std::string input;
    std::string out;
    std::size_t calls;
  } cases[] = {
      {"a bad request between good ones", "protect 0102\nprotect 0g\nunprotect 777261703A0102\n",
       "ok 777261703a0102\nerror 3 bad input\nok 0102\n", 2},
      {"not hex", "protect abc\nprotect 0x00\nprotect 00\t11\nprotect \xc3\xa9\nprotect 00\n",
       "error 3 bad input\nerror 3 bad input\nerror 3 bad input\nerror 3 bad input\n"
       "ok 777261703a00\n",
       1},
      // A verb is matched whole: more letters after it (even a NUL) make another word.
      {"unknown verbs",
       "PROTECT 00\n\n protect 00\nprotected 00\nprotec 00\nprotect\t00\nprotectx 00\n"
       "unprotected 777261703a00\nunprotectx\nprotect\0 00\nunprotect\0\nx"s,
       repeated("error 2 unknown command\n", 12), 0},
      {"empty secrets", "protect\nprotect  \r\nprotect\r\nprotect",
       "ok 777261703a\nok 777261703a\nok 777261703a\nok 777261703a\n", 4},
      {"spaces and carriage returns anywhere", "protect\r0 a\rB 1 \r\n", "ok 777261703a0ab1\n", 1},
      {"the last line without its line feed", "protect 01\nunprotect 777261703a02",
       "ok 777261703a01\nok 02\n", 2},
      {"no request at all", "", "", 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    const StreamsRun r = run(c.input);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.input_consumed, static_cast<long>(c.input.size()));
    ASSERT_EQ(fake_platform::calls().size(), c.calls);
    for (const auto &call : fake_platform::calls()) expect_tool_arguments(call);
    EXPECT_EQ(fake_alloc::live_blocks(), 0u);
    EXPECT_EQ(fake_alloc::unwiped_releases(), 0u);
  }
}

TEST_F(Session, AnUnprotectOfNothingAsksThePlatform) {
  const StreamsRun r = run("unprotect\n");
  EXPECT_EQ(r.out, "error 4 DPAPI unprotect failed (error 13)\n");
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(fake_platform::calls().size(), 1u);
  EXPECT_FALSE(fake_platform::calls()[0].input_pointer_null);
}

TEST_F(Session, AnOverLongLineIsAnsweredAndTheRestDroppedUnstored) {
  // 511 characters are held; the 512th fails the line, and the 89 after it are never stored.
  const std::string input =
      "protect " + std::string(600, 'a') + "\nprotect 0102\nprotect " + std::string(1000, 'b');
  const StreamsRun r = run(input, kSmallLimits);
  EXPECT_EQ(r.out, "error 3 bad input\nok 777261703a0102\nerror 3 bad input\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.input_consumed, static_cast<long>(input.size()));
  ASSERT_EQ(fake_platform::calls().size(), 1u);
  EXPECT_EQ(fake_platform::calls()[0].input, (Bytes{0x01, 0x02}));
  // The input block; the text block doubling to its limit and no further; given back once the
  // line was answered, so the next request starts small again; its decoded bytes; the last line.
  EXPECT_EQ(fake_alloc::sizes(),
            (std::vector<std::size_t>{LineInput::kBlockBytes, 16, 32, 64, 128, 256, 512, 16, 3, 32,
                                      64, 128, 256, 512}));
}

TEST_F(Session, TheRestOfALineIsDroppedUpToItsLineFeedAlone) {
  // A carriage return ends no line: nothing after one, on a line already answered, is taken for
  // a request of its own.
  const std::string over = "protect " + std::string(600, 'a');
  const struct {
    const char *name;
    std::string input;
    std::string out;
  } cases[] = {
      {"an over-long line", over + "\rprotect 01\nprotect 02\n",
       "error 3 bad input\nok 777261703a02\n"},
      {"an over-long last line", over + "\r\rprotect 01\r", "error 3 bad input\n"},
      {"unknown verbs", "open 00\rprotect 01\nPROTECT\r\rprotect 01\nprotect 02\n",
       "error 2 unknown command\nerror 2 unknown command\nok 777261703a02\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    const StreamsRun r = run(c.input, kSmallLimits);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.input_consumed, static_cast<long>(c.input.size()));
  }
}

TEST_F(Session, ARequestCutByAReadErrorIsAnsweredBadInputNeverSealed) {
  // The first read takes a whole input block: the first request, padded with spaces, then the
  // start of the next. The first request's platform call makes every later read fail, so the
  // next request is cut where the block ends. One that had begun is answered bad input (the part
  // that came is never sealed), and the session then ends as a failed read ends it.
  const struct {
    const char *name;
    std::string in_block;  // the start of the next request
    std::string rest;      // what the failed read would have brought
    std::string answer;    // to the cut request
  } cases[] = {
      {"in the hex", "protect " + repeated("ab", 40), "abab\nprotect 02\n", "error 3 bad input\n"},
      {"in the verb", "unprot", "ect 00\n", "error 3 bad input\n"},
      {"right after the verb", "protect", " 00\n", "error 3 bad input\n"},
      {"at the start of a line", "", "protect 02\n", ""},
      {"in an unknown verb's rest", "open 00", "00\nprotect 02\n", "error 2 unknown command\n"},
      {"in an over-long line's rest", "protect " + std::string(600, 'a'), "a\nprotect 02\n",
       "error 3 bad input\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    const std::size_t first = LineInput::kBlockBytes - c.in_block.size();
    const std::string input =
        "protect 01" + std::string(first - 11, ' ') + "\n" + c.in_block + c.rest;
    fake_platform::on_each_call(fail_reads_of_stdin);
    const StreamsRun r = run(input, kSmallLimits);
    EXPECT_EQ(r.out, "ok 777261703a01\n" + c.answer);
    EXPECT_EQ(r.err, "bad input\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(fake_platform::calls().size(), 1u);
  }
}

TEST_F(Session, APlatformFailureMidSessionIsAnsweredWithItsCode) {
  fake_platform::push_reply({true, 0, {0x01, 0x02}});
  fake_platform::push_reply({false, 13, {}});
  fake_platform::push_reply({false, 0x8009000B, {}});
  fake_platform::push_reply({true, 0, {0xAB}});
  const StreamsRun r = run("unprotect 00\nunprotect 01\nprotect 02\nunprotect 03\n");
  EXPECT_EQ(r.out,
            "ok 0102\nerror 4 DPAPI unprotect failed (error 13)\n"
            "error 4 DPAPI protect failed (error 2148073483)\nok ab\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(fake_platform::calls().size(), 4u);
  EXPECT_EQ(fake_platform::calls()[2].input, (Bytes{0x02}));
  EXPECT_TRUE(fake_platform::calls()[2].seal);
  EXPECT_EQ(fake_platform::releases(), 2u);
}

TEST_F(Session, AnAnswerThatCannotBeWrittenEndsTheSessionAtOnce) {
  const struct {
    const char *input;
    std::size_t calls;
  } cases[] = {{"protect 01\nprotect 02\n", 1}, {"PROTECT 01\nprotect 02\n", 0}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.input);
    SetUp();
    const StreamsRun r = run(c.input, kTextLimits, true);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "write failed\n");
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(fake_platform::calls().size(), c.calls);  // the next request is never opened
    EXPECT_EQ(fake_platform::wiped_releases(), c.calls);
    EXPECT_EQ(fake_alloc::live_blocks(), 0u);
    EXPECT_EQ(fake_alloc::unwiped_releases(), 0u);
  }
}

Bytes text_of(const std::string &text) { return Bytes(text.begin(), text.end()); }

TEST_F(Session, NoRequestLeavesATraceForTheNext) {
  // When each request reaches the platform, the requests before it (all read into the input
  // block at once) are in no live block, neither as their text nor decoded, nor in the line
  // chunk; the platform's outputs are released.
  const Bytes opened = {0x5E, 0xC2, 0xE7, 0x11, 0x9A, 0x42, 0x77, 0xD0};
  const Bytes sealed = {0xA1, 0x3F, 0x08, 0xC4, 0x6B, 0xE2, 0x19, 0x5D};
  const std::string blob_hex = "777261703a5ec2e7119a4277d0";
  const std::string sealed_hex = "a13f08c46be2195d";
  std::vector<std::string> faults;
  fake_platform::on_each_call([&] {
    const std::size_t call = fake_platform::calls().size();  // those before this one
    if (fake_platform::live_outputs() != 0) faults.push_back("an output still live");
    for (std::size_t i = 0; i < kLineChunkBytes; ++i) {
      if (line_chunk[i] != 0) {
        faults.push_back("the line chunk not wiped");
        break;
      }
    }
    if (call >= 1) {
      if (fake_alloc::live_blocks_holding(text_of(blob_hex)) != 0) faults.push_back("blob text");
      Bytes blob = text_of("wrap:");
      blob.insert(blob.end(), opened.begin(), opened.end());
      if (fake_alloc::live_blocks_holding(blob) != 0) faults.push_back("decoded blob");
    }
    if (call >= 2) {
      if (fake_alloc::live_blocks_holding(text_of(sealed_hex)) != 0) faults.push_back("hex");
      if (fake_alloc::live_blocks_holding(sealed) != 0) faults.push_back("decoded secret");
    }
  });
  const StreamsRun r = run("unprotect " + blob_hex + "\nprotect " + sealed_hex + "\nprotect 00\n");
  EXPECT_EQ(r.out, "ok 5ec2e7119a4277d0\nok 777261703a" + sealed_hex + "\nok 777261703a00\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(fake_platform::calls().size(), 3u);
  EXPECT_EQ(faults, std::vector<std::string>{});
}

TEST_F(Session, RunningOutOfMemoryIsBadInput) {
  // Allocation 1 is the input block, 2 the first request's text block, 3 its decoded bytes; every
  // later allocation fails too.
  const struct {
    std::size_t fail_at;
    const char *out;
    const char *err;
    int status;
  } cases[] = {
      {1, "", "bad input\n", 3},
      {2, "error 3 bad input\nerror 3 bad input\n", "", 0},
      {3, "error 3 bad input\nerror 3 bad input\n", "", 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.fail_at);
    SetUp();
    fake_alloc::reset(c.fail_at);
    const StreamsRun r = run("protect 01\nunprotect 02\n");
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(fake_platform::calls().empty());
    EXPECT_EQ(fake_alloc::live_blocks(), 0u);
    EXPECT_EQ(fake_alloc::unwiped_releases(), 0u);
  }
}

TEST_F(Session, AnswersEachRequestAsTheOneShotCommandDoes) {
  // Random sequences of requests through one session each, every answer compared with what the
  // one-shot command gives for that request alone, under the same scaled-down limit. Another
  // sequence: --gtest_random_seed=N.
  const int flag = GTEST_FLAG_GET(random_seed);
  const unsigned seed = flag != 0 ? static_cast<unsigned>(flag) : 32u;
  SCOPED_TRACE("seed " + std::to_string(seed) + " (--gtest_random_seed)");
  RandomRequests random(seed);
  for (int round = 0; round < 200; ++round) {
    std::vector<std::string> lines(1 + random.below(10));
    std::string input;
    for (auto &line : lines) {
      line = random.line();
      input += line + "\n";
    }
    // The last line without its line feed: still a request, unless it is empty.
    if (!lines.back().empty() && random.one_in(2)) input.pop_back();

    SetUp();
    const StreamsRun r = run(input, kSmallLimits);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    std::vector<std::string> answers;
    for (std::size_t start = 0; start < r.out.size();) {
      const std::size_t end = r.out.find('\n', start);
      answers.push_back(r.out.substr(start, end == std::string::npos ? end : end + 1 - start));
      start = end == std::string::npos ? r.out.size() : end + 1;
    }
    ASSERT_EQ(answers.size(), lines.size()) << "round " << round << ": " << shown(input);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      ASSERT_EQ(answers[i], one_shot_answer(lines[i]))
          << "round " << round << ", request " << i << ": " << shown(lines[i]);
    }
    EXPECT_EQ(fake_alloc::live_blocks(), 0u);
    EXPECT_EQ(fake_alloc::unwiped_releases(), 0u);
  }
}

}  // namespace
