// Output that a command writes as it goes, for listings too long to hold
// in memory: lines for people, or the leading members of the command's
// one JSON object, whose remaining members main.cpp adds once the command
// is done (Outcome::json_open).
#pragma once

#include <cstdio>
#include <string>

#include "json.h"

namespace userprof {

class Stream {
 public:
  explicit Stream(bool json) : json_(json) {}
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  bool json() const { return json_; }
  // Whether the JSON object was opened (the caller sets json_open).
  bool opened() const { return opened_; }
  // Whether anything was written.
  bool wrote() const { return wrote_; }

  // A line for people (ended here); nothing in JSON mode.
  void Line(const std::string& text);
  // In JSON mode: the member `key` with a scalar or small value.
  void Member(const std::string& key, const Json& value);
  // In JSON mode: opens the member `key` as an array, whose items follow.
  void BeginArray(const std::string& key);
  void Item(const Json& item);
  void EndArray();

 private:
  void Open();
  void Put(const std::string& text);
  bool json_;
  bool opened_ = false;
  bool wrote_ = false;
  bool first_item_ = true;
  bool first_member_ = true;
};

}  // namespace userprof
