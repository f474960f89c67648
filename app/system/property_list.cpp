#include "property_list.h"

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "whole_file.h"

namespace kelvoma::app::system {
namespace {

// Info.plist files are small; anything larger is not one we read.
constexpr std::size_t kMaximumSize = 4 * 1024 * 1024;

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};

Document toDocument(plist_t node, int depth);

Document dictionaryOf(plist_t node, int depth) {
  Document object = Document::object();
  plist_dict_iter iterator = nullptr;
  plist_dict_new_iter(node, &iterator);
  if (iterator == nullptr) {
    return object;
  }
  while (true) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(node, iterator, &key, &value);
    if (key == nullptr) {
      break;
    }
    object[key] = toDocument(value, depth + 1);
    std::free(key);
  }
  std::free(iterator);
  return object;
}

Document toDocument(plist_t node, int depth) {
  // Nesting this deep is no Info.plist; stop rather than exhaust the stack.
  if (node == nullptr || depth > 64) {
    return nullptr;
  }
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      std::uint8_t value = 0;
      plist_get_bool_val(node, &value);
      return value != 0;
    }
    case PLIST_UINT: {
      std::uint64_t value = 0;
      plist_get_uint_val(node, &value);
      // This libplist keeps a negative integer as its two's complement; no
      // property list value of ours comes near the top bit otherwise.
      if (value > static_cast<std::uint64_t>(INT64_MAX)) {
        return static_cast<std::int64_t>(value);
      }
      return value;
    }
    case PLIST_REAL: {
      double value = 0;
      plist_get_real_val(node, &value);
      return value;
    }
    case PLIST_STRING: {
      char* value = nullptr;
      plist_get_string_val(node, &value);
      Document text = value == nullptr ? std::string() : std::string(value);
      std::free(value);
      return text;
    }
    case PLIST_ARRAY: {
      Document array = Document::array();
      const std::uint32_t size = plist_array_get_size(node);
      for (std::uint32_t i = 0; i < size; ++i) {
        array.push_back(toDocument(plist_array_get_item(node, i), depth + 1));
      }
      return array;
    }
    case PLIST_DICT:
      return dictionaryOf(node, depth);
    default:
      return nullptr;
  }
}

}  // namespace

std::optional<Document> parsePropertyList(const std::string& bytes) {
  if (bytes.empty() || bytes.size() > kMaximumSize) {
    return std::nullopt;
  }
  plist_t root = nullptr;
  // Detects the binary and the XML form; leaves root null when it is neither.
  plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
  if (root == nullptr) {
    return std::nullopt;
  }
  const std::unique_ptr<void, PlistFree> owner(root);
  return toDocument(root, 0);
}

std::optional<Document> readPropertyList(const std::string& path) {
  const auto bytes = readWholeFile(path, kMaximumSize);
  if (!bytes) {
    return std::nullopt;
  }
  return parsePropertyList(*bytes);
}

std::optional<Document> readBundleInfo(const std::string& bundlePath) {
  return readPropertyList(bundlePath + "/Contents/Info.plist");
}

}  // namespace kelvoma::app::system
