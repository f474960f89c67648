// Every record reader over the same untrusted text: the JSON document reader
// with its strict rules, and the catalog, envelope and release records on
// top of it. Nothing may crash, leak or hang; results are not judged here.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "verify/catalog.h"
#include "verify/json_record.h"
#include "verify/manifest.h"

// The reader code links against a catalog symbol; these targets never load it.
const std::string_view kelvoma::EMBEDDED_CATALOG = "[]";

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  using namespace kelvoma;
  if (const auto document = json_record::parse_document(text)) {
    // Every rule set over whatever shape came out, as long as it is a record.
    for (const auto rules :
         {json_record::catalog_rules, json_record::manifest_rules, json_record::host_rules}) {
      static_cast<void>(json_record::read_members(
          *document, {{"a"}, {"b", json_record::Presence::optional}}, rules));
    }
  }
  static_cast<void>(parse_catalog(text));
  static_cast<void>(parse_envelope(text));
  static_cast<void>(parse_release(text));
  return 0;
}
