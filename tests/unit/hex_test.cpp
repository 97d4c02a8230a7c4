// The hex reader and writer over in-memory streams, with the allocator fake watching every block.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "fake_alloc.h"
#include "hex/hex_digit.h"
#include "hex/hex_io.h"

namespace {

using Bytes = std::vector<unsigned char>;

// An empty binary file for reading and writing, removed when closed.
std::FILE *temporary_stream() {
#ifdef _MSC_VER
  std::FILE *stream = nullptr;  // MSVC deprecates tmpfile in favour of tmpfile_s
  return tmpfile_s(&stream) == 0 ? stream : nullptr;
#else
  return std::tmpfile();
#endif
}

#ifdef _WIN32
void let_invalid_parameters_fail(const wchar_t *, const wchar_t *, const wchar_t *, unsigned,
                                 std::uintptr_t) {}
#endif

// Closes the descriptor under `stream` and leaves the stream itself open.
void close_descriptor(std::FILE *stream) {
#ifdef _WIN32
  // The Windows runtime ends the process on a read from a closed descriptor unless a handler
  // lets the call fail with EBADF, as it does elsewhere.
  _set_invalid_parameter_handler(let_invalid_parameters_fail);
  _close(_fileno(stream));  // the runtime's own names: MSVC deprecates close and fileno
#else
  close(fileno(stream));
#endif
}

// A stream positioned at the start of `text` (binary, so no runtime translation applies).
std::FILE *stream_of(const std::string &text) {
  std::FILE *stream = temporary_stream();
  std::fwrite(text.data(), 1, text.size(), stream);
  std::rewind(stream);
  return stream;
}

struct Decoded {
  bool ok;
  Bytes bytes;
};

Decoded decode(const std::string &text, std::size_t fail_at = 0) {
  fake_alloc::reset(fail_at);
  std::FILE *in = stream_of(text);
  Decoded result{false, {}};
  {
    HexInput input = read_hex_stream(in);
    result.ok = input.ok;
    if (input.ok) result.bytes.assign(input.bytes.bytes, input.bytes.bytes + input.bytes.length);
  }
  std::fclose(in);
  // Whatever the outcome, every block came back, and came back wiped.
  EXPECT_EQ(fake_alloc::live_blocks(), 0u);
  EXPECT_EQ(fake_alloc::unwiped_releases(), 0u);
  EXPECT_EQ(fake_alloc::stray_prefaults(), 0u);
  return result;
}

std::string encode(const Bytes &bytes) {
  std::FILE *out = temporary_stream();
  write_hex_to(out, bytes.data(), bytes.size());
  std::string text(static_cast<std::size_t>(std::ftell(out)), '\0');
  std::rewind(out);
  EXPECT_EQ(std::fread(&text[0], 1, text.size(), out), text.size());
  std::fclose(out);
  return text;
}

TEST(HexDigit, ValueOfEveryByte) {
  for (int c = 0; c < 256; ++c) {
    int expected = -1;
    if (c >= '0' && c <= '9') expected = c - '0';
    if (c >= 'a' && c <= 'f') expected = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') expected = c - 'A' + 10;
    EXPECT_EQ(hex_digit_value(static_cast<unsigned char>(c)), expected) << "byte " << c;
  }
}

TEST(HexDigit, CharOfEveryNibble) {
  std::string all;
  for (unsigned n = 0; n < 16; ++n) all += hex_digit_char(n);
  EXPECT_EQ(all, "0123456789abcdef");
  EXPECT_EQ(hex_digit_char(0xF3), '3');  // only the low four bits count
}

TEST(HexReader, DecodesValidText) {
  const struct {
    std::string text;
    Bytes bytes;
  } cases[] = {
      {"", {}},
      {" \r\n \n", {}},
      {"0A0b", {0x0A, 0x0B}},
      {"0 a\r\nb 1", {0x0A, 0xB1}},
      {"00ABff\n", {0x00, 0xAB, 0xFF}},
      {"FfEe\r\n", {0xFF, 0xEE}},
  };
  for (const auto &c : cases) {
    const Decoded decoded = decode(c.text);
    EXPECT_TRUE(decoded.ok) << c.text;
    EXPECT_EQ(decoded.bytes, c.bytes) << c.text;
  }
}

TEST(HexReader, RefusesInvalidText) {
  const std::string cases[] = {
      "abc",
      "a",
      "0a\t0b",
      "\t",
      "0x0a",
      "0a\xc3",
      "\xff\xff",
      "0a\x1a",
      "zz",
      "0a0b0c0g",
      std::string("\0\0", 2),
      "0a\v0b",
      "0a\f0b",
      "g0",
  };
  for (const auto &text : cases) EXPECT_FALSE(decode(text).ok) << text;
}

TEST(HexReader, FailsOnReadError) {
  // A stream whose descriptor is gone fails its reads: that must not pass for the end of input.
  std::FILE *in = stream_of("0a0b");
  close_descriptor(in);
  fake_alloc::reset();
  EXPECT_FALSE(read_hex_stream(in).ok);
  EXPECT_EQ(fake_alloc::live_blocks(), 0u);
  std::fclose(in);
}

TEST(HexReader, GrowsByDoublingAndSizesTheDecodedBuffer) {
  // 65,535 characters fit the first block (one byte stays free); one more needs the next.
  EXPECT_TRUE(decode(std::string(65534, 'a')).ok);
  EXPECT_EQ(fake_alloc::sizes(), (std::vector<std::size_t>{65536, 32768}));
  EXPECT_TRUE(decode(std::string(65536, 'a') + "\n").ok);
  EXPECT_EQ(fake_alloc::sizes(), (std::vector<std::size_t>{65536, 131072, 32769}));
  EXPECT_TRUE(decode("").ok);
  EXPECT_EQ(fake_alloc::sizes(), (std::vector<std::size_t>{65536, 1}));
}

TEST(HexReader, FailsCleanlyWhenAnyAllocationFails) {
  const std::string text(200000, 'f');  // blocks of 64, 128 and 256 KiB, then the decoded one
  for (std::size_t fail_at = 1; fail_at <= 4; ++fail_at) {
    EXPECT_FALSE(decode(text, fail_at).ok) << "allocation " << fail_at;
    EXPECT_EQ(fake_alloc::sizes().size(), fail_at);
  }
  EXPECT_TRUE(decode(text, 5).ok);
}

TEST(HexReader, AcceptsTheLargestInput) {
  std::string text(33554430, 'e');
  text.insert(1000, "\r\n");  // whitespace does not count towards the limit
  const Decoded decoded = decode(text);
  ASSERT_TRUE(decoded.ok);
  EXPECT_EQ(decoded.bytes.size(), 16777215u);
  EXPECT_EQ(decoded.bytes.front(), 0xEE);
  EXPECT_EQ(decoded.bytes.back(), 0xEE);
  EXPECT_EQ(fake_alloc::sizes().back(), 16777216u);
}

TEST(HexReader, StopsAtTheFirstCharacterOverTheLimit) {
  // 33,554,431 characters are held; the next one fails the read without reading further.
  const std::size_t limit = 33554431;
  fake_alloc::reset();
  std::FILE *in = stream_of(std::string(limit + 1, '0') + "more text after the limit");
  EXPECT_FALSE(read_hex_stream(in).ok);
  EXPECT_EQ(std::ftell(in), static_cast<long>(limit + 1));
  std::fclose(in);
  EXPECT_EQ(fake_alloc::live_blocks(), 0u);
  EXPECT_EQ(fake_alloc::unwiped_releases(), 0u);

  EXPECT_FALSE(decode(std::string(limit, '0')).ok);  // held, but an odd count
}

TEST(HexWriter, WritesLowerCaseHexAndOneLineFeed) {
  EXPECT_EQ(encode({0x00, 0xAB, 0xFF}), "00abff\n");
  EXPECT_EQ(encode({}), "\n");
  Bytes every;
  std::string expected;
  for (int b = 0; b < 256; ++b) {
    every.push_back(static_cast<unsigned char>(b));
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", b);
    expected += pair;
  }
  EXPECT_EQ(encode(every), expected + "\n");
}

TEST(HexWriter, SaysWhetherTheLineWasWritten) {
  const Bytes bytes(100000, 0x5A);  // a line of several chunks
  std::FILE *out = temporary_stream();
  EXPECT_TRUE(write_hex_to(out, bytes.data(), bytes.size()));
  close_descriptor(out);
  EXPECT_FALSE(write_hex_to(out, bytes.data(), bytes.size()));
  std::fclose(out);
}

TEST(HexWriter, RoundTripsThroughTheReader) {
  Bytes bytes(70000);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7919);
  const Decoded decoded = decode(encode(bytes));
  ASSERT_TRUE(decoded.ok);
  EXPECT_EQ(decoded.bytes, bytes);
}

}  // namespace
