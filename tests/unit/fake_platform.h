// A programmable stand-in for the platform's data-protection operations, for handler tests: it
// records what each call was given, answers with chosen outputs or failure codes, and checks in
// LocalFree that each output it handed out is released once, and whether it was wiped first.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "platform/dpapi.h"

namespace fake_platform {

using Bytes = std::vector<BYTE>;

struct Call {
  bool seal = false;  // CryptProtectData, else CryptUnprotectData
  Bytes input;
  bool input_pointer_null = false;
  bool description_given = false;  // seal: a description pointer; unseal: a place to return one
  std::basic_string<WCHAR> description;
  bool entropy_given = false;
  Bytes entropy;
  bool reserved_null = false;
  bool prompt_null = false;
  DWORD flags = 0;
};

// How the next call answers. Without one queued, a seal wraps its input and an unseal unwraps it
// again (failing with 13 on anything it did not wrap), so round trips work.
struct Reply {
  bool ok = true;
  DWORD error = 0;
  Bytes output;
};

void reset();
void push_reply(const Reply &reply);
// Runs `hook` at the start of every call (until reset), to look at the caller's memory then.
void on_each_call(const std::function<void()> &hook);
const std::vector<Call> &calls();
std::size_t live_outputs();    // handed out and not yet released
std::size_t wiped_releases();  // outputs that were all zero when released
std::size_t releases();        // non-null outputs released

}  // namespace fake_platform
