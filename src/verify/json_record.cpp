#include "verify/json_record.h"

#include <utility>

namespace kelvoma::json_record {
namespace {

using nlohmann::json;

constexpr std::size_t max_depth = 512;

// Stands in for the values of a member given twice in one object. JSON text
// cannot produce a binary value, so the marker is never mistaken for data.
json repeated_marker() { return json::binary({}); }

bool is_repeated(const json& member) { return member.is_binary(); }

// Builds the document tree from parser events, refusing what the library
// itself would let through (runaway nesting) and marking what it would hide
// (a member name given twice keeps only the last value in the library's tree).
class StrictBuilder : public nlohmann::json_sax<json> {
 public:
  json& root() { return root_; }
  const std::string& error() const { return error_; }

  bool null() override { return place(json(nullptr)); }
  bool boolean(bool value) override { return place(json(value)); }
  bool number_integer(number_integer_t value) override { return place(json(value)); }
  bool number_unsigned(number_unsigned_t value) override { return place(json(value)); }
  bool number_float(number_float_t value, const string_t&) override { return place(json(value)); }
  bool string(string_t& value) override { return place(json(std::move(value))); }
  bool binary(binary_t&) override { return fail("binary values are not JSON"); }

  bool start_object(std::size_t) override { return open(json::object()); }
  bool start_array(std::size_t) override { return open(json::array()); }
  bool end_object() override {
    Frame& frame = stack_.back();
    for (const std::string& name : frame.repeated) {
      (*frame.container)[name] = repeated_marker();
    }
    return close();
  }
  bool end_array() override { return close(); }

  bool key(string_t& name) override {
    Frame& frame = stack_.back();
    if (frame.container->contains(name)) {
      frame.repeated.push_back(name);
    }
    key_ = std::move(name);
    return true;
  }

  bool parse_error(std::size_t, const std::string&,
                   const nlohmann::detail::exception& exception) override {
    return fail(exception.what());
  }

 private:
  // An open object or array, with the member names given twice so far.
  struct Frame {
    json* container;
    std::vector<std::string> repeated;
  };

  bool fail(std::string message) {
    if (error_.empty()) {
      error_ = std::move(message);
    }
    return false;
  }

  json* place(json value) {
    if (stack_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    json& parent = *stack_.back().container;
    if (parent.is_object()) {
      return &(parent[std::move(key_)] = std::move(value));
    }
    parent.push_back(std::move(value));
    return &parent.back();
  }

  bool open(json container) {
    if (stack_.size() >= max_depth) {
      return fail("nesting deeper than 512 levels");
    }
    stack_.push_back(Frame{place(std::move(container)), {}});
    return true;
  }

  bool close() {
    stack_.pop_back();
    return true;
  }

  json root_;
  std::vector<Frame> stack_;
  std::string key_;
  std::string error_;
};

bool is_field(std::string_view name, std::initializer_list<Field> fields) {
  for (const Field& field : fields) {
    if (field.name == name) {
      return true;
    }
  }
  return false;
}

// The first member of the record that the rules forbid: a name given twice,
// then an unknown name. Empty when every member may stand.
std::string forbidden_member(const json& record, std::initializer_list<Field> fields, Rules rules) {
  for (const auto& [name, member] : record.items()) {
    if (is_repeated(member) &&
        (rules.repeated == RepeatedMembers::refuse_all || is_field(name, fields))) {
      return "duplicate field `" + name + "`";
    }
  }
  if (rules.unknown == UnknownMembers::reject) {
    for (const auto& [name, member] : record.items()) {
      if (!is_field(name, fields)) {
        return "unknown field `" + name + "`";
      }
    }
  }
  return {};
}

}  // namespace

std::expected<json, std::string> parse_document(std::string_view text) {
  // The library silently skips a byte-order mark; a record must not start
  // with one.
  if (text.starts_with("\xEF\xBB\xBF")) {
    return std::unexpected("byte-order mark before the value");
  }
  // The library's lexer takes a NUL byte for the end of the input and would
  // ignore whatever follows it; no JSON text can hold a raw NUL anyway.
  if (text.find('\0') != std::string_view::npos) {
    return std::unexpected("NUL byte in the text");
  }
  StrictBuilder builder;
  const bool parsed = json::sax_parse(text.begin(), text.end(), &builder,
                                      json::input_format_t::json, /*strict=*/true);
  if (!parsed) {
    return std::unexpected(builder.error().empty() ? "invalid JSON" : builder.error());
  }
  return std::move(builder.root());
}

std::expected<std::vector<const json*>, std::string> read_members(
    const json& value, std::initializer_list<Field> fields, Rules rules) {
  std::vector<const json*> members;
  members.reserve(fields.size());
  if (value.is_array() && rules.array_form == ArrayForm::accept) {
    if (value.size() != fields.size()) {
      return std::unexpected("invalid length " + std::to_string(value.size()) + ", expected " +
                             std::to_string(fields.size()) + " elements");
    }
    for (const json& element : value) {
      members.push_back(&element);
    }
    return members;
  }
  if (!value.is_object()) {
    return std::unexpected(std::string("invalid type: ") + value.type_name() +
                           ", expected an object");
  }
  if (auto forbidden = forbidden_member(value, fields, rules); !forbidden.empty()) {
    return std::unexpected(std::move(forbidden));
  }
  for (const Field& field : fields) {
    const auto found = value.find(field.name);
    if (found != value.end()) {
      members.push_back(&*found);
    } else if (field.presence == Presence::required) {
      return std::unexpected("missing field `" + std::string(field.name) + "`");
    } else {
      members.push_back(nullptr);
    }
  }
  return members;
}

std::expected<std::string, std::string> text_value(const json& value) {
  if (!value.is_string()) {
    return std::unexpected(std::string("invalid type: ") + value.type_name() +
                           ", expected a string");
  }
  return value.get_ref<const std::string&>();
}

std::expected<bool, std::string> bool_value(const json& value) {
  if (!value.is_boolean()) {
    return std::unexpected(std::string("invalid type: ") + value.type_name() +
                           ", expected a boolean");
  }
  return value.get<bool>();
}

std::expected<std::uint64_t, std::string> unsigned_value(const json& value, std::uint64_t max) {
  // Negative numbers keep the signed type and fractions, exponents and
  // overflowing integers the floating type, so only this one type passes.
  if (!value.is_number_unsigned()) {
    return std::unexpected(std::string("invalid type: ") + value.type_name() +
                           ", expected a non-negative integer");
  }
  const auto number = value.get<std::uint64_t>();
  if (number > max) {
    return std::unexpected("integer " + std::to_string(number) + " out of range");
  }
  return number;
}

std::expected<std::vector<std::string>, std::string> text_array(const json& value) {
  if (!value.is_array()) {
    return std::unexpected(std::string("invalid type: ") + value.type_name() +
                           ", expected an array");
  }
  std::vector<std::string> texts;
  texts.reserve(value.size());
  for (const json& element : value) {
    auto text = text_value(element);
    if (!text) {
      return std::unexpected(text.error());
    }
    texts.push_back(std::move(*text));
  }
  return texts;
}

}  // namespace kelvoma::json_record
