// A store that trusts no kept parse, for the tests and the benchmark that
// compare the library as it runs with one that reads every file anew.
// Header only: the benchmark includes it without the test support library.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"
#include "support/platform_wrapper.h"

namespace testing_support {

// Every read of a file reads it anew: no version vouches for a kept parse.
// A followed look is the store's check of a version; other looks stay.
class RereadEveryTime : public userprofile::PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;
  userprofile::FileLook Look(const std::string& path, bool follow_links) override {
    if (follow_links) return {};
    return PlatformWrapper::Look(path, follow_links);
  }
};

// For one scope, files kept parsed between reads (as the library runs) or
// read and compared with the parse at every read.
class CacheSetting {
 public:
  explicit CacheSetting(bool kept)
      : previous_(userprofile::Sys()), reread_(previous_) {
    if (!kept) userprofile::SetPlatform(&reread_);
  }
  ~CacheSetting() { userprofile::SetPlatform(&previous_); }
  CacheSetting(const CacheSetting&) = delete;
  CacheSetting& operator=(const CacheSetting&) = delete;

 private:
  userprofile::Platform& previous_;
  RereadEveryTime reread_;
};

}  // namespace testing_support
