#include <utility>
#include <vector>

#include "json/json_value.h"
#include "json/json_value_access.h"

namespace morvanix {

namespace {

const JsonObject kNoMembers;
const JsonArray kNoElements;
const std::string kNoText;

// Moves every Object or Array held directly by a container into pending, leaving Nulls behind,
// so that the container can be freed without descending further.
void detachNestedContainers(JsonValue& container, std::vector<JsonValue>& pending);

}  // namespace

JsonValue::JsonValue() = default;

JsonValue::JsonValue(const char* text) : kind_(JsonKind::String) {
  content_.text = new std::string(text != nullptr ? text : "");
}

JsonValue::JsonValue(const std::string& text) : kind_(JsonKind::String) {
  content_.text = new std::string(text);
}

JsonValue::JsonValue(const JsonValue& other) {
  JsonValue copy;
  copy.copyFrom(other);
  content_ = copy.content_;
  kind_ = copy.kind_;
  copy.content_ = {};
  copy.kind_ = JsonKind::Null;
}

JsonValue::JsonValue(JsonValue&& other) noexcept : content_(other.content_), kind_(other.kind_) {
  other.content_ = {};
  other.kind_ = JsonKind::Null;
}

JsonValue::~JsonValue() {
  release();
}

JsonValue& JsonValue::operator=(const JsonValue& other) {
  if (this == &other) return *this;
  // Copy before releasing: other may live inside this value's own content.
  JsonValue copy(other);
  return *this = std::move(copy);
}

JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
  if (this == &other) return *this;
  // Take the content over before releasing ours: other may live inside it.
  Content taken = other.content_;
  JsonKind takenKind = other.kind_;
  other.content_ = {};
  other.kind_ = JsonKind::Null;
  release();
  content_ = taken;
  kind_ = takenKind;
  return *this;
}

JsonValue& JsonValue::operator=(const std::string& text) {
  setKind(JsonKind::String);
  *content_.text = text;
  return *this;
}

JsonValue& JsonValue::operator=(const char* text) {
  return *this = std::string(text != nullptr ? text : "");
}

JsonValue JsonValue::fromInteger(std::int32_t number) {
  JsonValue value;
  value.kind_ = JsonKind::Integer;
  value.content_.integer = number;
  return value;
}

JsonValue JsonValue::fromFloat(double number) {
  JsonValue value;
  value.kind_ = JsonKind::Float;
  value.content_.floating = number;
  return value;
}

JsonValue JsonValue::fromBoolean(bool truth) {
  JsonValue value;
  value.kind_ = JsonKind::Boolean;
  value.content_.boolean = truth;
  return value;
}

void JsonValue::setKind(JsonKind kind) {
  if (kind == kind_) return;
  // Allocate first so that a failed allocation leaves the value as it was.
  Content fresh{};
  switch (kind) {
    case JsonKind::Object:
      fresh.object = new JsonObject();
      break;
    case JsonKind::Array:
      fresh.array = new JsonArray();
      break;
    case JsonKind::String:
      fresh.text = new std::string();
      break;
    case JsonKind::Float:
      fresh.floating = 0.0;
      break;
    case JsonKind::Integer:
      fresh.integer = 0;
      break;
    case JsonKind::Boolean:
      fresh.boolean = false;
      break;
    case JsonKind::Null:
      break;
  }
  release();
  content_ = fresh;
  kind_ = kind;
}

JsonValue& JsonValue::member(const std::string& key) {
  setKind(JsonKind::Object);
  return (*content_.object)[key];
}

JsonValue& JsonValue::element(std::size_t index) {
  setKind(JsonKind::Array);
  JsonArray& array = *content_.array;
  while (array.size() <= index) array.emplace_back();
  return array[index];
}

std::string JsonValue::asText() const {
  return kind_ == JsonKind::String ? escapeJson(*content_.text) : std::string();
}

const JsonObject& JsonValue::members() const {
  return kind_ == JsonKind::Object ? *content_.object : kNoMembers;
}

std::int32_t JsonValue::integerValue() const {
  return kind_ == JsonKind::Integer ? content_.integer : 0;
}

double JsonValue::floatValue() const {
  return kind_ == JsonKind::Float ? content_.floating : 0.0;
}

bool JsonValue::booleanValue() const {
  return kind_ == JsonKind::Boolean && content_.boolean;
}

const std::string& JsonValue::stringValue() const {
  return kind_ == JsonKind::String ? *content_.text : kNoText;
}

const JsonArray& JsonValue::elements() const {
  return kind_ == JsonKind::Array ? *content_.array : kNoElements;
}

// Documents nest to any depth (a value built in code is not bound by the parser's limit), so
// containers are freed from a work list rather than by recursion.
void JsonValue::release() noexcept {
  switch (kind_) {
    case JsonKind::String:
      delete content_.text;
      break;
    case JsonKind::Object:
    case JsonKind::Array: {
      std::vector<JsonValue> pending;
      detachNestedContainers(*this, pending);
      if (kind_ == JsonKind::Object) {
        delete content_.object;
      } else {
        delete content_.array;
      }
      while (!pending.empty()) {
        JsonValue item = std::move(pending.back());
        pending.pop_back();
        detachNestedContainers(item, pending);
        if (item.kind_ == JsonKind::Object) {
          delete item.content_.object;
        } else {
          delete item.content_.array;
        }
        item.content_ = {};
        item.kind_ = JsonKind::Null;
      }
      break;
    }
    default:
      break;
  }
  content_ = {};
  kind_ = JsonKind::Null;
}

// Deep copy into this (Null) value, driven by a work list for the same reason as release().
void JsonValue::copyFrom(const JsonValue& other) {
  struct Job {
    JsonValue* target;
    const JsonValue* source;
  };
  std::vector<Job> jobs;
  // Gives target the kind and scalar content of source; a container starts empty and is queued.
  auto start = [&jobs](JsonValue& target, const JsonValue& source) {
    switch (source.kind_) {
      case JsonKind::String:
        target.content_.text = new std::string(*source.content_.text);
        break;
      case JsonKind::Object:
        target.content_.object = new JsonObject();
        jobs.push_back({&target, &source});
        break;
      case JsonKind::Array:
        target.content_.array = new JsonArray();
        jobs.push_back({&target, &source});
        break;
      default:
        target.content_ = source.content_;
        break;
    }
    target.kind_ = source.kind_;
  };
  start(*this, other);
  while (!jobs.empty()) {
    Job job = jobs.back();
    jobs.pop_back();
    if (job.source->kind_ == JsonKind::Object) {
      JsonObject& target = *job.target->content_.object;
      for (const auto& [key, value] : *job.source->content_.object) {
        auto inserted = target.emplace_hint(target.end(), key, JsonValue());
        start(inserted->second, value);
      }
    } else {
      JsonArray& target = *job.target->content_.array;
      for (const JsonValue& value : *job.source->content_.array) {
        target.emplace_back();  // deque growth at the back keeps earlier references valid
        start(target.back(), value);
      }
    }
  }
}

JsonValue makeObject(std::initializer_list<JsonValue> keysAndValues) {
  JsonValue object;
  object.setKind(JsonKind::Object);
  const JsonValue* item = keysAndValues.begin();
  for (std::size_t left = keysAndValues.size(); left >= 2; left -= 2, item += 2) {
    const JsonValue& key = item[0];
    object.member(key.kind() == JsonKind::String ? escapeJson(key.stringValue()) : std::string()) =
        item[1];
  }
  return object;
}

namespace {

void detachNestedContainers(JsonValue& container, std::vector<JsonValue>& pending) {
  auto detach = [&pending](JsonValue& child) {
    if (child.kind() == JsonKind::Object || child.kind() == JsonKind::Array) {
      pending.push_back(std::move(child));
    }
  };
  if (container.kind() == JsonKind::Object) {
    for (auto& entry : JsonValueAccess::object(container)) detach(entry.second);
  } else if (container.kind() == JsonKind::Array) {
    for (JsonValue& child : JsonValueAccess::array(container)) detach(child);
  }
}

}  // namespace

}  // namespace morvanix
