#include "fake_platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>

namespace {

const fake_platform::Bytes wrap_marker = {'w', 'r', 'a', 'p', ':'};

std::vector<fake_platform::Call> recorded;
std::deque<fake_platform::Reply> replies;
std::function<void()> call_hook;
std::map<void *, std::size_t> outputs;
std::size_t wiped = 0;
std::size_t released = 0;
#ifndef _WIN32
DWORD last_error = 0;

void SetLastError(DWORD code) { last_error = code; }
#endif

fake_platform::Reply default_reply(bool seal, const fake_platform::Bytes &input) {
  fake_platform::Reply reply;
  if (seal) {
    reply.output = wrap_marker;
    reply.output.insert(reply.output.end(), input.begin(), input.end());
  } else if (input.size() >= wrap_marker.size() &&
             std::equal(wrap_marker.begin(), wrap_marker.end(), input.begin())) {
    reply.output.assign(input.begin() + wrap_marker.size(), input.end());
  } else {
    reply.ok = false;
    reply.error = 13;
  }
  return reply;
}

BOOL answer(fake_platform::Call call, DATA_BLOB *pDataOut) {
  if (call_hook) call_hook();
  fake_platform::Reply reply;
  if (replies.empty()) {
    reply = default_reply(call.seal, call.input);
  } else {
    reply = replies.front();
    replies.pop_front();
  }
  recorded.push_back(std::move(call));
  if (!reply.ok) {
    SetLastError(reply.error);
    return 0;
  }
  // A real allocation even for an empty output, as the platform makes.
  auto *block = static_cast<BYTE *>(std::malloc(reply.output.size() + 1));
  if (!reply.output.empty()) std::memcpy(block, reply.output.data(), reply.output.size());
  outputs[block] = reply.output.size();
  pDataOut->cbData = static_cast<DWORD>(reply.output.size());
  pDataOut->pbData = block;
  return 1;
}

fake_platform::Call record(bool seal, DATA_BLOB *in, DATA_BLOB *entropy, PVOID reserved,
                           CRYPTPROTECT_PROMPTSTRUCT *prompt, DWORD flags) {
  fake_platform::Call call;
  call.seal = seal;
  call.input_pointer_null = in->pbData == nullptr;
  if (in->cbData != 0) call.input.assign(in->pbData, in->pbData + in->cbData);
  call.entropy_given = entropy != nullptr;
  if (entropy != nullptr) call.entropy.assign(entropy->pbData, entropy->pbData + entropy->cbData);
  call.reserved_null = reserved == nullptr;
  call.prompt_null = prompt == nullptr;
  call.flags = flags;
  return call;
}

HLOCAL PLATFORM_API fake_local_free(HLOCAL hMem) {
  if (hMem == nullptr) return nullptr;
  const auto found = outputs.find(hMem);
  if (found == outputs.end()) std::abort();  // not handed out, or released twice
  const auto *bytes = static_cast<const BYTE *>(hMem);
  if (std::all_of(bytes, bytes + found->second, [](BYTE b) { return b == 0; })) ++wiped;
  ++released;
  outputs.erase(found);
  std::free(hMem);
  return nullptr;
}

}  // namespace

namespace fake_platform {

void reset() {
  recorded.clear();
  replies.clear();
  call_hook = nullptr;
  for (auto &output : outputs) std::free(output.first);
  outputs.clear();
  wiped = 0;
  released = 0;
  SetLastError(0);
}

void push_reply(const Reply &reply) { replies.push_back(reply); }
void on_each_call(const std::function<void()> &hook) { call_hook = hook; }
const std::vector<Call> &calls() { return recorded; }
std::size_t live_outputs() { return outputs.size(); }
std::size_t wiped_releases() { return wiped; }
std::size_t releases() { return released; }

}  // namespace fake_platform

BOOL PLATFORM_API CryptProtectData(DATA_BLOB *pDataIn, LPCWSTR szDataDescr,
                                   DATA_BLOB *pOptionalEntropy, PVOID pvReserved,
                                   CRYPTPROTECT_PROMPTSTRUCT *pPromptStruct, DWORD dwFlags,
                                   DATA_BLOB *pDataOut) {
  fake_platform::Call call =
      record(true, pDataIn, pOptionalEntropy, pvReserved, pPromptStruct, dwFlags);
  call.description_given = szDataDescr != nullptr;
  if (szDataDescr != nullptr) call.description = szDataDescr;
  return answer(std::move(call), pDataOut);
}

BOOL PLATFORM_API CryptUnprotectData(DATA_BLOB *pDataIn, LPWSTR *ppszDataDescr,
                                     DATA_BLOB *pOptionalEntropy, PVOID pvReserved,
                                     CRYPTPROTECT_PROMPTSTRUCT *pPromptStruct, DWORD dwFlags,
                                     DATA_BLOB *pDataOut) {
  fake_platform::Call call =
      record(false, pDataIn, pOptionalEntropy, pvReserved, pPromptStruct, dwFlags);
  call.description_given = ppszDataDescr != nullptr;
  return answer(std::move(call), pDataOut);
}

#ifdef _WIN32
// The headers declare kernel32's LocalFree as an import, called through this pointer; defined
// here, it takes the place of the import, so the tool's releases come to the fake.
extern "C" {
HLOCAL(WINAPI *__imp_LocalFree)(HLOCAL) = fake_local_free;
}
#else
DWORD GetLastError() { return last_error; }
HLOCAL LocalFree(HLOCAL hMem) { return fake_local_free(hMem); }
#endif
