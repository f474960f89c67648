#include "fake_core.h"

#include <cstdlib>
#include <cstring>

namespace kelvoma::app::testing {

std::string threeToolCatalog() {
  return R"([{"archive_prefix":"","bundle_id":"cz.tobranix.orbit-action-dial","bundle_name":"Orbit Action Dial.app","description":"Kruhová nabídka rychlých akcí, vyvolaná klávesovou zkratkou.","github_repository":"","id":"orbit-action-dial","integration":"kelvoma","manifest_url":"","name":"Orbit Action Dial","public_key":"","symbol":"circle.dashed","team_id":""},)"
         R"({"archive_prefix":"","bundle_id":"cz.tobranix.pane-keeper","bundle_name":"Pane Keeper.app","description":"Rozmístí okna do mřížky a pamatuje si jejich rozložení.","github_repository":"","id":"pane-keeper","integration":"kelvoma","manifest_url":"","name":"Pane Keeper","public_key":"","symbol":"rectangle.split.2x2","team_id":""},)"
         R"({"archive_prefix":"","bundle_id":"cz.tobranix.clip-ledger","bundle_name":"ClipLedger.app","description":"Historie schránky s rychlým hledáním; aktualizuje se sama.","github_repository":"tobranix/clip-ledger","id":"clip-ledger","integration":"external","manifest_url":"","name":"Clip Ledger","public_key":"","symbol":"doc.on.clipboard","team_id":""}])";
}

char* FakeCore::handOut(const std::string& text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  std::memcpy(copy, text.c_str(), text.size() + 1);
  const std::lock_guard lock(mutex_);
  live_.insert(copy);
  return copy;
}

void FakeCore::take(char* text) {
  const std::lock_guard lock(mutex_);
  ++frees_;
  if (text == nullptr) {
    return;
  }
  if (live_.erase(text) == 0) {
    ++badFrees_;
    return;
  }
  std::free(text);
}

std::size_t FakeCore::outstanding() const {
  const std::lock_guard lock(mutex_);
  return live_.size();
}

Core FakeCore::core() {
  Core made;
  made.catalog = [this]() -> char* { return catalogReturnsNull ? nullptr : handOut(catalog); };
  made.check = [this](const char* id, const char* os, std::uint64_t build) {
    std::string answer = R"({"error":"Síť není dostupná.","ok":false})";
    {
      // Checks of several tools run on several workers at once.
      const std::lock_guard lock(mutex_);
      checks.push_back({id, os, build});
      if (const auto found = checkAnswers.find(id); found != checkAnswers.end()) {
        answer = found->second;
      }
    }
    return handOut(answer);
  };
  made.install = [this](const char* id, const char* path, const char* os, StopCallback stop) {
    std::int32_t stopped = 0;
    if (installCallsStop) {
      stopped = stop(id, path);
    }
    std::string answer = R"({"error":"Instalace selhala.","ok":false,"relaunch":false})";
    {
      const std::lock_guard lock(mutex_);
      installs.push_back({id, path, os, stopped});
      if (const auto found = installAnswers.find(id); found != installAnswers.end()) {
        answer = found->second;
      }
    }
    if (onInstall) {
      answer = onInstall({id, path, os, stopped});
    }
    return handOut(answer);
  };
  made.releaseNotes = [this](const char* id, std::uint64_t build, const char* version) {
    std::string answer = R"({"error":"Zatím není zveřejněné dostupné vydání.","ok":false})";
    {
      const std::lock_guard lock(mutex_);
      notesCalls.push_back(std::to_string(build) + " " + version);
      if (const auto found = notesAnswers.find(id); found != notesAnswers.end() && build == 9) {
        answer = found->second;
      }
    }
    return handOut(answer);
  };
  if (reportsProgress) {
    made.installWithProgress = [this, install = made.install](
                                   const char* id, const char* path, const char* os,
                                   StopCallback stop, ProgressCallback progress, void* context) {
      for (const Report& each : progressReports) {
        progress(context, each.phase, each.done, each.total);
        if (afterReport) {
          afterReport();
        }
      }
      return install(id, path, os, stop);
    };
  }
  made.free = [this](char* text) { take(text); };
  if (recovers) {
    made.recover = [this](const char* id) {
      if (onRecover) onRecover(id);
      std::string answer = R"({"ok":true,"recovered":false})";
      {
        const std::lock_guard lock(mutex_);
        recoveries.emplace_back(id);
        if (const auto found = recoverAnswers.find(id); found != recoverAnswers.end()) {
          answer = found->second;
        }
      }
      return handOut(answer);
    };
  }
  return made;
}

}  // namespace kelvoma::app::testing
