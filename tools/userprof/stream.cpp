#include "stream.h"

namespace userprof {

void Stream::Put(const std::string& text) {
  if (capture_ != nullptr) {
    capture_->append(text);
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
  wrote_ = true;
}

void Stream::Open() {
  if (opened_) return;
  opened_ = true;
  Json lead = Json::object();
  lead["command"] = command_;
  if (!module_.empty()) SetText(lead, "module", module_);
  // The members in the order the envelope has them: command, module.
  std::string text = "{" + Json("command").dump() + ":" + Json(command_).dump();
  for (const auto& [key, value] : lead.items()) {
    if (key != "command") text += "," + Json(key).dump() + ":" + value.dump();
  }
  Put(text);
  first_member_ = false;
}

void Stream::Line(const std::string& text) {
  if (!json_) Put(text + "\n");
}

void Stream::Member(const std::string& key, const Json& value) {
  if (!json_) return;
  Open();
  Put(std::string(first_member_ ? "" : ",") + Json(key).dump() + ":" +
      value.dump(-1, ' ', false, Json::error_handler_t::replace));
  first_member_ = false;
}

void Stream::BeginArray(const std::string& key) {
  if (!json_) return;
  Open();
  Put(std::string(first_member_ ? "" : ",") + Json(key).dump() + ":[");
  first_member_ = false;
  first_item_ = true;
}

void Stream::Item(const Json& item) {
  if (!json_) return;
  Put(std::string(first_item_ ? "" : ",") +
      item.dump(-1, ' ', false, Json::error_handler_t::replace));
  first_item_ = false;
}

void Stream::EndArray() {
  if (json_) Put("]");
}

}  // namespace userprof
