// Output that a command writes as it goes, for listings too long to hold
// in memory: lines for people, or the leading members of the command's
// one JSON object, whose remaining members main.cpp adds once the command
// is done (Outcome::json_open).
#pragma once

#include <cstdio>
#include <string>
#include <utility>

#include "json.h"

namespace userprof {

class Stream {
 public:
  // `command` and `module` lead the JSON object, as in every command's.
  // `capture`, if given, receives the text instead of standard output.
  Stream(bool json, std::string command, std::string module,
         std::string* capture = nullptr)
      : json_(json),
        command_(std::move(command)),
        module_(std::move(module)),
        capture_(capture) {}
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
  std::string command_;
  std::string module_;
  std::string* capture_;
  bool opened_ = false;
  bool wrote_ = false;
  bool first_item_ = true;
  bool first_member_ = true;
};

}  // namespace userprof
