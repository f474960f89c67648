// One strict JSON reader for every record the core reads: the catalog, the
// release manifest and the release host's answers. Records differ only in
// their rule set (what to do with unknown members, whether the array form is
// accepted); the strict lexical rules are common to all.
#pragma once

#include <cstdint>
#include <expected>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvoma::json_record {

enum class UnknownMembers { skip, reject };
enum class ArrayForm { accept, reject };
// Which member names of the record itself may not be given twice: only the
// record's own field names (a repeated unknown member is skipped like any
// other), or every name.
enum class RepeatedMembers { refuse_fields, refuse_all };

struct Rules {
  UnknownMembers unknown;
  ArrayForm array_form;
  RepeatedMembers repeated;
};

inline constexpr Rules catalog_rules{UnknownMembers::skip, ArrayForm::reject,
                                     RepeatedMembers::refuse_fields};
inline constexpr Rules manifest_rules{UnknownMembers::reject, ArrayForm::accept,
                                      RepeatedMembers::refuse_all};
// Release notes: like a manifest, but only in object form.
inline constexpr Rules notes_rules{UnknownMembers::reject, ArrayForm::reject,
                                   RepeatedMembers::refuse_all};
inline constexpr Rules host_rules{UnknownMembers::skip, ArrayForm::reject,
                                  RepeatedMembers::refuse_all};

// Parses exactly one JSON document. Rejects a leading byte-order mark, any
// non-whitespace after the value, a raw NUL byte, invalid UTF-8 and nesting
// deeper than 512 levels (a fixed limit that holds for skipped values too).
// A member name given twice in one object is not an error here: the member
// is kept with a marker in place of its values, so that the record that
// reads the object decides (`read_members`) and skipped values may repeat
// names freely. Negative integers keep the signed type and
// fractions/exponents/overflowing integers the floating type, so
// `unsigned_value` can refuse them. Errors are developer-facing.
std::expected<nlohmann::json, std::string> parse_document(std::string_view text);

enum class Presence { required, optional };

struct Field {
  std::string_view name;
  Presence presence = Presence::required;
};

// The members of one record, in field order: null pointers stand for absent
// optional fields. `value` must be an object (or, where the rules accept it,
// an array with exactly one element per field). A member given twice is
// refused as "duplicate field `name`" where the rules say so, unknown members
// are skipped or refused by the rules, and the first missing required field
// in declaration order is reported as "missing field `name`".
std::expected<std::vector<const nlohmann::json*>, std::string> read_members(
    const nlohmann::json& value, std::initializer_list<Field> fields, Rules rules);

// Typed readers for one member value; each fails on any other JSON type.
std::expected<std::string, std::string> text_value(const nlohmann::json& value);
std::expected<bool, std::string> bool_value(const nlohmann::json& value);
// A non-negative integer written without fraction or exponent, at most `max`.
std::expected<std::uint64_t, std::string> unsigned_value(const nlohmann::json& value,
                                                         std::uint64_t max = UINT64_MAX);
std::expected<std::vector<std::string>, std::string> text_array(const nlohmann::json& value);

// Moves a read value into `field`, or its failure into `error`; chained with
// &&, a record keeps its first failure.
template <typename T>
bool read_into(std::expected<T, std::string> value, T& field, std::string& error) {
  if (!value) {
    error = std::move(value.error());
    return false;
  }
  field = std::move(*value);
  return true;
}

}  // namespace kelvoma::json_record
