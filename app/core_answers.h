// The core's answers as the application reads them. Each text the core hands
// out is parsed once here, with the lenient rules of a dictionary lookup (a
// missing key or a value of another kind reads as "nothing"), into a small
// struct; nothing after this reads the core's keys.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core.h"
#include "document.h"

namespace kelvoma::app {

// One catalog entry, as far as the application reads it.
struct Tool {
  std::string id;
  std::string name;
  std::string description;
  std::string symbol;
  std::string bundleId;
  std::string bundleName;
  bool external = false;  // the tool updates itself
};

struct CatalogAnswer {
  std::vector<Tool> tools;  // in the catalog's order
};

// An update check. ok only for the boolean true under "ok": an answer that is
// not JSON, or lacks "ok", is a failed check whose error is whatever text the
// core gave (none for an answer that is not JSON).
struct CheckAnswer {
  bool ok = false;
  bool available = false;
  std::string version{};    // shown with a newer build; empty when absent
  std::uint64_t build = 0;  // as unsigned 64 bits (a negative integer keeps its bits)
  std::optional<std::string> error{};
  // The offered release's notes, once fetched after the check; never part of
  // the core's check answer.
  std::optional<std::string> notes{};
  bool operator==(const CheckAnswer&) const = default;
};

// An installation, read with the same rule for "ok".
struct InstallAnswer {
  bool ok = false;
  bool relaunch = false;  // the copy in place was stopped: start it again
  std::optional<std::string> error{};
  bool operator==(const InstallAnswer&) const = default;
};

// The text handed out by the core, parsed and given back to core.free exactly
// once. Only a dictionary or an array is a document: no text, text that is not
// JSON, and any other JSON value read as an empty dictionary.
Document takeDocument(const Core& core, char* text);

// Anything that is not an array gives no tools; an element that is not a
// dictionary gives a tool of empty texts; "integration": "external" marks a
// tool that updates itself.
CatalogAnswer catalogAnswerOf(const Document& document);
CheckAnswer checkAnswerOf(const Document& document);
InstallAnswer installAnswerOf(const Document& document);

// The core's operations, each answered as its struct.
CatalogAnswer askCatalog(const Core& core);
CheckAnswer askCheck(const Core& core, const std::string& id, const std::string& osVersion,
                     std::uint64_t installedBuild);
// With a progress callback and a core that reports progress, reports reach
// progress(context, ...) on the calling thread.
InstallAnswer askInstall(const Core& core, const std::string& id, const std::string& targetPath,
                         const std::string& osVersion, StopCallback stop,
                         ProgressCallback progress = nullptr, void* context = nullptr);
// The notes of the release offered as `build` and `version`: the text when
// the core answered ok with one, nothing on any failure or without the call.
std::optional<std::string> askReleaseNotes(const Core& core, const std::string& id,
                                           std::uint64_t build, const std::string& version);

// Whether the start-up recovery put a copy of the tool back; a failure or
// an answer that is not JSON reads as "nothing put back".
bool askRecover(const Core& core, const std::string& id);

}  // namespace kelvoma::app
