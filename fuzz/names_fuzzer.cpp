// The validators and GetProperHomeDirName on arbitrary bytes, through the C
// exports with buffers of exactly the size the interface documents: no
// overflow, the home directory name is always 8 characters, and the name
// is trimmed in place, never lengthened.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/names.h"
#include "platform/platform.h"
#include "userprofile.h"

namespace {

void Require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "name property broken: %s\n", what);
  std::abort();
}

// A heap copy of exactly the text and its terminator, so that reading or
// writing one byte beyond it is caught.
std::vector<char> Text(const std::string& text) {
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  return buffer;
}

// The text without spaces at either end.
std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  const std::size_t last = text.find_last_not_of(' ');
  return text.substr(first, last + 1 - first);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Reports of empty or trimmed names are expected here: keep them quiet.
  userprofile::SetMessageSink(
      [](const std::string&, const std::string&, unsigned) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string raw(reinterpret_cast<const char*>(data), size);
  const std::string name = raw.substr(0, raw.find('\0'));  // as C sees it

  const int valid = ValidUserName(Text(name).data());
  Require(valid == 0 || name.size() <= USERPROFILE_NAME_MAX,
          "a valid name has at most 31 characters");
  const int entry = IsEntryValid(Text(name).data());
  if (!name.empty() && name.find(',') == std::string::npos) {
    Require(entry == 1, "a text without a comma is a valid entry");
    Require(IsEntryValid(Text(name + ",ABCDEFGH").data()) == valid,
            "an entry with 8 characters after the comma is as valid as its name");
    Require(IsEntryValid(Text(name + ",ABCDEFG").data()) == 0,
            "an entry with 7 characters after the comma is invalid");
  }

  std::vector<char> buffer = Text(name);
  std::vector<char> out(USERPROFILE_HOMEDIRNAME_SIZE, '#');
  GetProperHomeDirName(buffer.data(), out.data());
  Require(std::strlen(out.data()) == 8, "the home directory name has 8 characters");
  Require(std::string(buffer.data()) == Trimmed(name), "the name is trimmed in place");
  Require(std::string(out.data()).find(' ') == std::string::npos,
          "the home directory name holds no space");

  // A UTF-8 name keeps whole characters in its home directory name: the
  // name is well-formed UTF-8 (or plain ASCII) again.
  if (userprofile::kUtf8Names && userprofile::IsMultibyteUtf8(Trimmed(name))) {
    const std::string home(out.data());
    bool ascii = true;
    for (unsigned char c : home) ascii = ascii && c < 0x80;
    Require(ascii || userprofile::IsMultibyteUtf8(home),
            "a UTF-8 name's home directory name cuts no character");
  }
  // The comparison of names is an equivalence: symmetric and reflexive.
  const std::string other = raw.substr(raw.find('\0') == std::string::npos
                                           ? raw.size()
                                           : raw.find('\0') + 1);
  const std::string second = other.substr(0, other.find('\0'));
  userprofile::Platform& host = userprofile::NativePlatform();
  Require(host.NamesEqual(name.c_str(), name.c_str()), "a name equals itself");
  Require(host.NamesEqual(name.c_str(), second.c_str()) ==
              host.NamesEqual(second.c_str(), name.c_str()),
          "the host's name equality is symmetric");
  return 0;
}
