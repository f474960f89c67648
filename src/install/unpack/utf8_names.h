// Archive names read as UTF-8 whatever the process's locale.
#pragma once

#include <locale.h>

namespace kelvoma {

// While it lives, the calling thread's character type is UTF-8 (glibc's
// built-in C.UTF-8), so that libarchive reads the names and link targets of
// a zip (UTF-8 by its flag, or by our rule where a header does not say) the
// same in a C locale as in a Czech one: it converts them through the
// thread's locale, which a C locale cannot hold. Nothing of the process
// changes; without C.UTF-8 the thread keeps its locale.
class Utf8Names {
 public:
  Utf8Names() : utf8_(::newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr)) {
    if (utf8_ != nullptr) {
      previous_ = ::uselocale(utf8_);
    }
  }
  ~Utf8Names() {
    if (utf8_ != nullptr) {
      ::uselocale(previous_);
      ::freelocale(utf8_);
    }
  }
  Utf8Names(const Utf8Names&) = delete;
  Utf8Names& operator=(const Utf8Names&) = delete;

 private:
  locale_t utf8_;
  locale_t previous_ = nullptr;
};

}  // namespace kelvoma
