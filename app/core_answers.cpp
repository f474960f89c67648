#include "core_answers.h"

namespace kelvoma::app {
namespace {

Tool toolFrom(const Document& entry) {
  return Tool{
      .id = textOf(entry, "id").value_or(""),
      .name = textOf(entry, "name").value_or(""),
      .description = textOf(entry, "description").value_or(""),
      .symbol = textOf(entry, "symbol").value_or(""),
      .bundleId = textOf(entry, "bundle_id").value_or(""),
      .bundleName = textOf(entry, "bundle_name").value_or(""),
      .external = textOf(entry, "integration") == "external",
  };
}

}  // namespace

Document takeDocument(const Core& core, char* text) {
  if (text == nullptr) {
    return Document::object();
  }
  const std::string copy(text);
  core.free(text);
  Document parsed = Document::parse(copy, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object() && !parsed.is_array()) {
    return Document::object();
  }
  return parsed;
}

CatalogAnswer catalogAnswerOf(const Document& document) {
  CatalogAnswer answer;
  if (!document.is_array()) {
    return answer;
  }
  answer.tools.reserve(document.size());
  for (const Document& entry : document) {
    answer.tools.push_back(toolFrom(entry));
  }
  return answer;
}

CheckAnswer checkAnswerOf(const Document& document) {
  return CheckAnswer{
      .ok = boolOf(document, "ok"),
      .available = boolOf(document, "available"),
      .version = textOf(document, "version").value_or(""),
      .build = unsignedOf(document, "build"),
      .error = textOf(document, "error"),
  };
}

InstallAnswer installAnswerOf(const Document& document) {
  return InstallAnswer{
      .ok = boolOf(document, "ok"),
      .relaunch = boolOf(document, "relaunch"),
      .error = textOf(document, "error"),
  };
}

CatalogAnswer askCatalog(const Core& core) {
  return catalogAnswerOf(takeDocument(core, core.catalog()));
}

CheckAnswer askCheck(const Core& core, const std::string& id, const std::string& osVersion,
                     std::uint64_t installedBuild) {
  return checkAnswerOf(
      takeDocument(core, core.check(id.c_str(), osVersion.c_str(), installedBuild)));
}

InstallAnswer askInstall(const Core& core, const std::string& id, const std::string& targetPath,
                         const std::string& osVersion, StopCallback stop, ProgressCallback progress,
                         void* context) {
  if (progress != nullptr && core.installWithProgress) {
    return installAnswerOf(
        takeDocument(core, core.installWithProgress(id.c_str(), targetPath.c_str(),
                                                    osVersion.c_str(), stop, progress, context)));
  }
  return installAnswerOf(
      takeDocument(core, core.install(id.c_str(), targetPath.c_str(), osVersion.c_str(), stop)));
}

std::optional<std::string> askReleaseNotes(const Core& core, const std::string& id,
                                           std::uint64_t build, const std::string& version) {
  if (!core.releaseNotes) {
    return std::nullopt;
  }
  const Document answer = takeDocument(core, core.releaseNotes(id.c_str(), build, version.c_str()));
  if (!boolOf(answer, "ok")) {
    return std::nullopt;
  }
  return textOf(answer, "text");
}

bool askRecover(const Core& core, const std::string& id) {
  const Document answer = takeDocument(core, core.recover(id.c_str()));
  return boolOf(answer, "ok") && boolOf(answer, "recovered");
}

}  // namespace kelvoma::app
