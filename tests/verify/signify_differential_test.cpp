// signify's formats as OpenBSD's signify reads them: the same mutated public
// keys, detached signatures and embedded signatures (seals) are given to
// signify-openbsd and to Kelvoma's readers, and both must accept or refuse
// alike. Where signify is more lenient than Kelvoma (it skips white space in
// base64, ignores what follows a key file's second line and bounds a key's
// comment only by the 2047 bytes it reads), the row says so: Kelvoma never
// accepts what signify refuses.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/run_program.h"
#include "support/temp_dir.h"
#include "verify/crypto/signature.h"
#include "verify/crypto/signify.h"

namespace kelvoma {
namespace {

using Mutation = std::function<std::string(std::string)>;

enum class Part { public_key, signature, seal };
enum class Verdict { accepted, refused, only_signify_accepts };  // the last: signify's leniency

struct SignifyCase {
  std::string name;
  Part part;
  Mutation mutate;
  Verdict verdict;
};

const std::string message = "kelvoma-seal 1\nidentifier\tcz.tobranix.orbit\n";

Mutation commented(std::size_t size) {
  return [=](std::string text) {
    const std::size_t start = std::string_view("untrusted comment: ").size();
    return text.replace(start, text.find('\n') - start, std::string(size, 'c'));
  };
}

// The character at `index` of the second line's base64 changed to another.
Mutation base64_byte(std::size_t index) {
  return [=](std::string text) {
    char& c = text[text.find('\n') + 1 + index];
    c = c == 'A' ? 'B' : 'A';
    return text;
  };
}

Mutation inserted(std::ptrdiff_t at, std::string_view what) {  // negative: from the end
  return [=](std::string text) {
    return text.insert(at < 0 ? text.size() + at : std::size_t(at), what);
  };
}

Mutation appended(std::string_view what) {
  return [=](const std::string& text) { return text + std::string(what); };
}

std::string as_made(std::string text) { return text; }
std::string cut_last(std::string text) { return text.substr(0, text.size() - 1); }
std::string glued(std::string text) { return text.erase(text.find('\n', text.find('\n') + 1), 1); }

bool kelvoma_accepts(const std::string& key_file, const signify::Signature& signature,
                     std::string_view signed_text) {
  const auto line = signify::key_line(key_file);
  const auto key = line ? signify::decode_public_key(*line) : std::nullopt;
  const auto bytes =
      std::span(reinterpret_cast<const std::uint8_t*>(signed_text.data()), signed_text.size());
  return key && key->number == signature.number &&
         verify_signature(bytes, signature.signature, key->key).has_value();
}

class SignifyDifferential : public ::testing::Test {
 protected:
  static testing::ProgramResult signify(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "/usr/bin/signify-openbsd");
    return testing::run_program(arguments);
  }

  void SetUp() override {
    const std::string keys = KELVOMA_SEAL_KEYS_DIR, sec = keys + "/TESTTEAM42.sec",
                      signed_file = dir_.write("message", message);
    ASSERT_EQ(signify({"-S", "-s", sec, "-m", signed_file, "-x", dir_.file("sig")}).exit_status, 0);
    ASSERT_EQ(
        signify({"-S", "-e", "-s", sec, "-m", signed_file, "-x", dir_.file("seal")}).exit_status,
        0);
    public_key_ = testing::read_file(keys + "/TESTTEAM42.pub");
    signature_ = testing::read_file(dir_.file("sig"));
    seal_ = testing::read_file(dir_.file("seal"));
  }

  testing::TempDir dir_;
  std::string public_key_, signature_, seal_;
};

TEST_F(SignifyDifferential, AcceptsAndRefusesAsSignifyDoes) {
  using enum Part;
  using enum Verdict;
  const SignifyCase cases[] = {
      {"KeyAsMade", public_key, as_made, accepted},
      {"KeyWithEmptyComment", public_key, commented(0), refused},
      {"KeyWithoutFinalNewline", public_key, cut_last, refused},
      {"KeyWithNulInComment", public_key, inserted(22, std::string_view("\0", 1)), refused},
      {"KeyNumberChanged", public_key, base64_byte(5), refused},
      {"KeyWithLongestComment", public_key, commented(1023), accepted},
      {"KeyWithLongerComment", public_key, commented(1024), only_signify_accepts},
      {"KeyFollowedByALine", public_key, appended("more\n"), only_signify_accepts},
      {"KeyWithCarriageReturn", public_key, inserted(-1, "\r"), only_signify_accepts},
      {"SignatureAsMade", signature, as_made, accepted},
      {"SignatureWithEmptyComment", signature, commented(0), refused},
      {"SignatureWithoutFinalNewline", signature, cut_last, refused},
      {"SignatureWithLongestComment", signature, commented(1023), accepted},
      {"SignatureWithLongerComment", signature, commented(1024), refused},
      {"SignatureChanged", signature, base64_byte(40), refused},
      {"SealAsMade", seal, as_made, accepted},
      {"SealWithEmptyComment", seal, commented(0), refused},
      {"SealWithLongestComment", seal, commented(1023), accepted},
      {"SealWithLongerComment", seal, commented(1024), refused},
      {"SealMessageChanged", seal, appended("x"), refused},
      {"SealMessageGluedToItsSignature", seal, glued, refused},
  };
  for (const SignifyCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string key = c.part == public_key ? c.mutate(public_key_) : public_key_;
    std::string sig = c.part == signature ? c.mutate(signature_) : signature_;
    std::string sealed = c.part == seal ? c.mutate(seal_) : seal_;
    dir_.write("k.pub", key);
    dir_.write(c.part == seal ? "m.seal" : "m.sig", c.part == seal ? sealed : sig);
    bool kelvoma = false;
    testing::ProgramResult verdict;
    if (c.part == seal) {
      const auto embedded = signify::split_embedded(sealed);
      kelvoma = embedded && kelvoma_accepts(key, embedded->signature, embedded->message);
      verdict = signify({"-V", "-e", "-q", "-p", dir_.file("k.pub"), "-x", dir_.file("m.seal"),
                         "-m", dir_.file("out")});
    } else {
      const auto line = signify::key_line(sig);
      const auto decoded = line ? signify::decode_signature(*line) : std::nullopt;
      kelvoma = decoded && kelvoma_accepts(key, *decoded, message);
      verdict = signify({"-V", "-q", "-p", dir_.file("k.pub"), "-x", dir_.file("m.sig"), "-m",
                         dir_.file("message")});
    }
    EXPECT_EQ(kelvoma, c.verdict == accepted);
    EXPECT_EQ(verdict.exit_status == 0, c.verdict != refused) << verdict.err;
  }
}

}  // namespace
}  // namespace kelvoma
