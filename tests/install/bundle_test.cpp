// Bundle identity, bundle validation and the signing programs' arguments.
#include "install/bundle/bundle.h"

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>

#include <functional>
#include <optional>

#include "install/install_helpers.h"
#include "support/fixture_bundle.h"
#include "support/run_program.h"
#include "support/signing.h"
#include "support/temp_dir.h"
#include "verify/architecture.h"
#include "verify/build_config.h"
#include "verify/catalog.h"
#include "verify/crypto/base64.h"

namespace kelvoma {
namespace {

using fixture::BundleSpec;
using fixture::PlistFormat;
using fixture::PlistValue;
using install_testing::SigningStubs;
namespace fs = std::filesystem;

constexpr std::string_view no_info_plist = "Aplikace nemá platný Info.plist.";
constexpr std::string_view requirement =
    "anchor apple generic and identifier \"cz.tobranix.orbit-action-dial\" and certificate "
    "leaf[subject.OU] = \"TESTTEAM42\"";

Tool orbit() { return *find_tool("orbit-action-dial"); }

class BundleTest : public ::testing::Test {
 protected:
  std::string make(const BundleSpec& spec) { return fixture::make_bundle(dir_.path(), spec); }

  std::string make_with(std::string_view key, std::optional<PlistValue> value,
                        PlistFormat format = PlistFormat::xml) {
    BundleSpec spec = fixture::tool_bundle("orbit-action-dial", 7, "1.2");
    spec.format = format;
    if (value) {
      fixture::set_info(spec, key, *value);
    } else {
      fixture::remove_info(spec, key);
    }
    return make(spec);
  }

  void write_info_plist(const std::string& bundle, std::string_view bytes) {
    fixture::write_file(fs::path(bundle) / "Contents" / "Info.plist", bytes);
  }

  testing::TempDir dir_;
  SigningStubs stubs_;
};

// --- read_bundle_identity --------------------------------------------------

struct BuildCase {
  std::string text;
  std::optional<std::uint64_t> build;  // nothing: "Neplatné číslo sestavení."
};

// Test names in listings come from here, not from the bytes of the case.
void PrintTo(const BuildCase& c, std::ostream* out) { *out << '"' << c.text << '"'; }

class BuildNumberTest : public BundleTest, public ::testing::WithParamInterface<BuildCase> {};

TEST_P(BuildNumberTest, ReadsOnlyPlainUnsignedDecimals) {
  for (const PlistFormat format : {PlistFormat::xml, PlistFormat::binary}) {
    testing::TempDir dir;
    BundleSpec spec = fixture::tool_bundle("orbit-action-dial", 1);
    spec.format = format;
    fixture::set_info(spec, "CFBundleVersion", GetParam().text);
    const auto identity = read_bundle_identity(fixture::make_bundle(dir.path(), spec));
    if (GetParam().build) {
      ASSERT_TRUE(identity.has_value()) << identity.error();
      EXPECT_EQ(identity->build, *GetParam().build);
      EXPECT_EQ(identity->identifier, "cz.tobranix.orbit-action-dial");
    } else {
      ASSERT_FALSE(identity.has_value());
      EXPECT_EQ(identity.error(), "Neplatné číslo sestavení.");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, BuildNumberTest,
    ::testing::Values(BuildCase{"42", 42}, BuildCase{"+42", 42}, BuildCase{"042", 42},
                      BuildCase{"0", 0}, BuildCase{"18446744073709551615", UINT64_MAX},
                      BuildCase{"18446744073709551616", {}}, BuildCase{"99999999999999999999", {}},
                      BuildCase{"1.0", {}}, BuildCase{"-1", {}}, BuildCase{" 42", {}},
                      BuildCase{"42 ", {}}, BuildCase{"", {}}, BuildCase{"+", {}},
                      BuildCase{"-", {}}, BuildCase{"++1", {}}, BuildCase{"+-1", {}},
                      BuildCase{"4 2", {}}, BuildCase{"0x10", {}}, BuildCase{"١٢", {}}));

struct IdentityFault {
  std::string name;
  std::string key;
  std::optional<PlistValue> value;  // nothing: the key is removed
  std::string message;
};

void PrintTo(const IdentityFault& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class IdentityFaultTest : public BundleTest, public ::testing::WithParamInterface<IdentityFault> {};

TEST_P(IdentityFaultTest, NamesTheMissingPiece) {
  for (const PlistFormat format : {PlistFormat::xml, PlistFormat::binary}) {
    const auto identity = read_bundle_identity(make_with(GetParam().key, GetParam().value, format));
    ASSERT_FALSE(identity.has_value());
    EXPECT_EQ(identity.error(), GetParam().message);
    fs::remove_all(dir_.path() + "/Orbit Action Dial.app");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Keys, IdentityFaultTest,
    ::testing::Values(
        IdentityFault{"NoIdentifier", "CFBundleIdentifier", {}, "Chybí identifikátor aplikace."},
        IdentityFault{"IntegerIdentifier", "CFBundleIdentifier", std::int64_t{5},
                      "Chybí identifikátor aplikace."},
        IdentityFault{"NoVersion", "CFBundleVersion", {}, "Chybí číslo sestavení."},
        IdentityFault{"IntegerVersion", "CFBundleVersion", std::int64_t{42},
                      "Chybí číslo sestavení."},
        IdentityFault{"BooleanVersion", "CFBundleVersion", true, "Chybí číslo sestavení."}),
    [](const auto& test) { return test.param.name; });

TEST_F(BundleTest, ReadsBinaryInfoPlistLikeXml) {
  BundleSpec spec = fixture::tool_bundle("orbit-action-dial", 31);
  spec.format = PlistFormat::binary;
  const std::string bundle = make(spec);
  ASSERT_TRUE(fixture::read_file(bundle + "/Contents/Info.plist").starts_with("bplist00"));
  const auto identity = read_bundle_identity(bundle);
  ASSERT_TRUE(identity.has_value()) << identity.error();
  EXPECT_EQ(identity->identifier, "cz.tobranix.orbit-action-dial");
  EXPECT_EQ(identity->build, 31u);
}

TEST_F(BundleTest, UnreadableInfoPlists) {
  const std::string bundle = make(fixture::tool_bundle("orbit-action-dial", 1));
  const std::string plist = bundle + "/Contents/Info.plist";
  struct Case {
    std::string name;
    std::function<void()> arrange;
  };
  const std::vector<Case> cases = {
      {"missing", [&] { fs::remove(plist); }},
      {"empty", [&] { write_info_plist(bundle, ""); }},
      {"not a property list", [&] { write_info_plist(bundle, "CFBundleVersion=1\n"); }},
      {"truncated XML",
       [&] {
         write_info_plist(
             bundle,
             fixture::info_plist(fixture::tool_bundle("orbit-action-dial", 1)).substr(0, 120));
       }},
      {"truncated binary", [&] { write_info_plist(bundle, "bplist00\xd1\x01\x02"); }},
      {"a directory", [&] { fs::create_directory(plist); }},
      {"a FIFO", [&] { ASSERT_EQ(::mkfifo(plist.c_str(), 0644), 0); }},
      {"a link to a device", [&] { fs::create_symlink("/dev/zero", plist); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::error_code ignored;
    fs::remove_all(plist, ignored);
    c.arrange();
    const auto identity = read_bundle_identity(bundle);
    ASSERT_FALSE(identity.has_value());
    EXPECT_EQ(identity.error(), no_info_plist);
  }
  SCOPED_TRACE("no bundle at all");
  const auto missing = read_bundle_identity(dir_.file("Nothing.app"));
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), no_info_plist);
}

TEST_F(BundleTest, RootThatIsNotADictionary) {
  const std::string bundle = make(fixture::tool_bundle("orbit-action-dial", 1));
  write_info_plist(bundle,
                   "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n"
                   "<array><string>cz.tobranix.orbit-action-dial</string></array>\n</plist>\n");
  const auto identity = read_bundle_identity(bundle);
  ASSERT_FALSE(identity.has_value());
  EXPECT_EQ(identity.error(), "Neplatné informace o aplikaci.");
}

// --- code requirement and signing programs --------------------------------

TEST_F(BundleTest, RequirementTextIsExact) { EXPECT_EQ(code_requirement(orbit()), requirement); }

TEST_F(BundleTest, RequirementInsertsCatalogTextsUnescaped) {
  Tool tool = orbit();
  tool.bundle_id = "a\"b";
  tool.team_id = "T\\1";
  EXPECT_EQ(code_requirement(tool),
            "anchor apple generic and identifier \"a\"b\" and certificate leaf[subject.OU] = "
            "\"T\\1\"");
}

TEST_F(BundleTest, SignatureRunsCodesignThenSpctlWithExactArguments) {
  const std::string bundle = make(fixture::tool_bundle("orbit-action-dial", 1));
  ASSERT_TRUE(verify_code_signature(build_config(), bundle, orbit()).has_value());
  const std::vector<std::vector<std::string>> expected = {
      {"codesign", "--verify", "--deep", "--strict", "-R", "=" + std::string(requirement), bundle},
      {"spctl", "--assess", "--type", "execute", bundle}};
  EXPECT_EQ(stubs_.runs(), expected);
}

struct SigningCase {
  std::string name;
  std::string codesign_status;
  std::string spctl_status;
  std::string message;  // empty: success
  std::vector<std::string> programs_run;
};

void PrintTo(const SigningCase& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class SigningTest : public BundleTest, public ::testing::WithParamInterface<SigningCase> {};

TEST_P(SigningTest, ExitStatusesDecide) {
  const std::string bundle = make(fixture::tool_bundle("orbit-action-dial", 1));
  install_testing::ScopedEnv codesign("KELVOMA_CODESIGN_STATUS", GetParam().codesign_status);
  install_testing::ScopedEnv spctl("KELVOMA_SPCTL_STATUS", GetParam().spctl_status);
  const auto verified = verify_code_signature(build_config(), bundle, orbit());
  if (GetParam().message.empty()) {
    EXPECT_TRUE(verified.has_value()) << verified.error();
  } else {
    ASSERT_FALSE(verified.has_value());
    EXPECT_EQ(verified.error(), GetParam().message);
  }
  std::vector<std::string> programs;
  for (const auto& run : stubs_.runs()) programs.push_back(run.front());
  EXPECT_EQ(programs, GetParam().programs_run);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, SigningTest,
    ::testing::Values(SigningCase{"BothAccept", "0", "0", "", {"codesign", "spctl"}},
                      SigningCase{"CodesignRefuses",
                                  "1",
                                  "0",
                                  "Podpis aplikace nebo identita vydavatele nesouhlasí.",
                                  {"codesign"}},
                      SigningCase{"CodesignOtherStatus",
                                  "3",
                                  "0",
                                  "Podpis aplikace nebo identita vydavatele nesouhlasí.",
                                  {"codesign"}},
                      SigningCase{"SpctlRefuses",
                                  "0",
                                  "1",
                                  "macOS nepotvrdil notarizaci stažené aplikace.",
                                  {"codesign", "spctl"}}),
    [](const auto& test) { return test.param.name; });

TEST_F(BundleTest, EmptyTeamIdentifierRunsNothing) {
  const std::string bundle = make(fixture::tool_bundle("orbit-action-dial", 1));
  Tool tool = orbit();
  tool.team_id.clear();
  const auto verified = verify_code_signature(build_config(), bundle, tool);
  ASSERT_FALSE(verified.has_value());
  EXPECT_EQ(verified.error(), "V katalogu chybí identita vydavatele.");
  EXPECT_TRUE(stubs_.runs().empty());
}

TEST_F(BundleTest, MissingSigningProgramsGiveTheSystemErrorText) {
  const std::string bundle = make(fixture::tool_bundle("orbit-action-dial", 1));
  CoreConfig config = build_config();
  config.codesign = dir_.file("no-codesign");
  auto verified = verify_code_signature(config, bundle, orbit());
  ASSERT_FALSE(verified.has_value());
  EXPECT_EQ(verified.error(), "No such file or directory (os error 2)");

  config = build_config();
  config.spctl = dir_.file("no-spctl");
  verified = verify_code_signature(config, bundle, orbit());
  ASSERT_FALSE(verified.has_value());
  EXPECT_EQ(verified.error(), "No such file or directory (os error 2)");
}

TEST_F(BundleTest, WithoutSigningProgramsEveryBundleIsRefused) {
  // The production defaults name programs this machine does not have.
  const std::string bundle = make(fixture::tool_bundle("orbit-action-dial", 1));
  const auto verified = verify_code_signature(CoreConfig{}, bundle, orbit());
  EXPECT_FALSE(verified.has_value());
}

// --- seal and ticket ---------------------------------------------------------

const std::string seal_refused = "Podpis aplikace nebo identita vydavatele nesouhlasí.";
const std::string ticket_refused = "Notářský lístek stažené aplikace neplatí.";

using BundleChange = std::function<void(const fs::path& bundle)>;

// Rewrites the signature line of a signify file: `change` gets its bytes
// ("Ed", key number, signature).
BundleChange resign(std::string file, std::function<void(std::vector<std::uint8_t>&)> change) {
  return [=](const fs::path& bundle) {
    const fs::path path = bundle / "Contents/_CodeSignature" / file;
    std::string text = fixture::read_file(path);
    const std::size_t start = text.find('\n') + 1, end = text.find('\n', start);
    auto bytes = *decode_base64(text.substr(start, end - start));
    change(bytes);
    fixture::write_file(path, text.replace(start, end - start, encode_base64(bytes)));
  };
}

// S + L, the same scalar written non-canonically.
void add_group_order(std::vector<std::uint8_t>& bytes) {
  constexpr std::array<std::uint8_t, 32> order = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58,
                                                  0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
                                                  0,    0,    0,    0,    0,    0,    0,    0,
                                                  0,    0,    0,    0,    0,    0,    0,    0x10};
  unsigned carry = 0;
  for (std::size_t i = 0; i < 32; ++i) {
    carry += bytes[42 + i] + order[i];
    bytes[42 + i] = static_cast<std::uint8_t>(carry);
    carry >>= 8;
  }
}

void write_executable(const fs::path& bundle, std::string_view bytes) {
  fixture::write_file(bundle / "Contents/MacOS/fixture-tool", bytes);
}

constexpr Architecture other_architecture =
    this_architecture == Architecture::x86_64 ? Architecture::arm64 : Architecture::x86_64;

// The ELF machine number of a processor (EM_X86_64, EM_AARCH64).
int elf_machine(Architecture architecture) {
  return architecture == Architecture::x86_64 ? 62 : 183;
}

std::string program_refused(Architecture found, Architecture machine) {
  return "Program aplikace je pro procesor " + std::string(architecture_name(found)) +
         "; tento počítač má procesor " + std::string(architecture_name(machine)) + ".";
}

std::string outside(const std::string& link, const std::string& found) {
  return "Odkaz " + link + " v aplikaci " + found + "; odkazy smějí vést jen dovnitř aplikace.";
}

BundleChange machine_set(int machine) {
  return [=](const fs::path& b) {
    std::string elf = fixture::read_file(b / "Contents/MacOS/fixture-tool");
    elf[18] = static_cast<char>(machine);
    write_executable(b, elf);
  };
}

BundleChange program_from(const std::string& file) {
  return [=](const fs::path& b) { write_executable(b, fixture::read_file(file)); };
}

BundleChange link_at(const std::string& path, const std::string& target) {
  return [=](const fs::path& b) { fs::create_symlink(target, b / path); };
}

// `path` moved to `beside` and a relative link to it left in its place.
BundleChange linked_beside(const std::string& path, const std::string& beside) {
  return [=](const fs::path& b) {
    fs::rename(b / path, b / beside);
    fs::create_symlink(fs::path(beside).filename(), b / path);
  };
}

struct SealCase {
  std::string name;
  BundleChange before_seal = [](const fs::path&) {};
  BundleChange after_seal = [](const fs::path&) {};
  std::function<void(Tool&, CoreConfig&)> expect = [](Tool&, CoreConfig&) {};
  std::string message = {};           // empty: accepted
  int openat2_error = 0;              // a seccomp filter refuses openat2 with it
  std::string first_difference = {};  // what check-bundle names below the message
  bool link_out = false;              // sealed with signify: kelvoma-publish refuses to seal it
  std::string cause = {};             // check-bundle's line below the message; "@B@": the bundle
  std::string refusal = {};           // check-bundle's own refusal in place of the message
};

// The verdict in a child process whose openat2 fails with `error`, as on
// Linux before 5.6 or under a sandbox's seccomp filter.
std::string verdict_without_openat2(int error, const CoreConfig& config, const fs::path& bundle,
                                    const Tool& tool) {
  int ends[2];
  EXPECT_EQ(::pipe(ends), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<std::uint32_t>(error)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
    const sock_fprog program{.len = 4, .filter = filter};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
      ::_exit(1);
    }
    const auto verified = verify_code_signature(config, bundle, tool);
    const std::string text = verified ? "" : verified.error();
    ::_exit(::write(ends[1], text.data(), text.size()) == ssize_t(text.size()) ? 0 : 1);
  }
  ::close(ends[1]);
  std::string text(4096, '\0');
  text.resize(std::max<ssize_t>(::read(ends[0], text.data(), text.size()), 0));
  ::close(ends[0]);
  int status = 0;
  EXPECT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  return text;
}

void PrintTo(const SealCase& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class SealTest : public BundleTest, public ::testing::WithParamInterface<SealCase> {};

TEST_P(SealTest, TamperedBundlesAreRefused) {
  const fs::path bundle = make(fixture::tool_bundle("orbit-action-dial", 1));
  GetParam().before_seal(bundle);
  ASSERT_TRUE(GetParam().link_out ? fixture::seal_bundle_with_signify(bundle)
                                  : fixture::seal_bundle(bundle));
  GetParam().after_seal(bundle);
  Tool tool = orbit();
  CoreConfig config = fixture::seal_config();
  GetParam().expect(tool, config);
  if (GetParam().openat2_error != 0) {
    EXPECT_EQ(verdict_without_openat2(GetParam().openat2_error, config, bundle, tool),
              GetParam().message);
    return;
  }
  const auto verified = verify_code_signature(config, bundle, tool);
  EXPECT_EQ(verified ? std::string() : verified.error(), GetParam().message);
  EXPECT_TRUE(stubs_.runs().empty());
  const SealCase& c = GetParam();
  if (!c.first_difference.empty() || !c.cause.empty() || !c.refusal.empty()) {
    const std::string keys = KELVOMA_SEAL_KEYS_DIR;
    const auto checked =
        testing::run_program({KELVOMA_PUBLISH_EXE, "check-bundle", bundle, "--identifier",
                              tool.bundle_id, "--team", "TESTTEAM42", "--team-key",
                              keys + "/TESTTEAM42.pub", "--notary-key", keys + "/notary.pub"});
    std::string expected =
        !c.refusal.empty() ? c.refusal
        : !c.cause.empty()
            ? c.message + "\n" + c.cause
            : c.message + "\nPrvní rozdíl oproti pečeti: " + c.first_difference + ".";
    for (std::size_t at; (at = expected.find("@B@")) != std::string::npos;) {
      expected.replace(at, 3, bundle.string());
    }
    EXPECT_EQ(checked.err, expected + "\n");
  }
}

// What kelvoma-publish says of a link where the installation reads who the
// bundle is, with "@B@" for the bundle.
std::string identity_link(const std::string& path) {
  return "@B@/" + path +
         " je symbolický odkaz; identitu balíčku (Info.plist a program) čte instalace jen ze "
         "souborů a složek, ne přes odkazy, a balíček by odmítla. Nahraď odkaz tím, na co vede, "
         "a balíček znovu zapečeť.";
}

// The seal made again with a new key of the same team, and notarized.
void sealed_with_another_key(const fs::path& bundle) {
  const std::string key = (bundle.parent_path() / "other.sec").string();
  ASSERT_EQ(testing::run_program({KELVOMA_PUBLISH_EXE, "seal-keygen",
                                  (bundle.parent_path() / "other.pub").string(), key})
                .exit_status,
            0);
  ASSERT_EQ(testing::run_program(
                {KELVOMA_PUBLISH_EXE, "seal", bundle, "--team", "TESTTEAM42", "--key", key})
                .exit_status,
            0);
  ASSERT_EQ(testing::run_program({KELVOMA_PUBLISH_EXE, "notarize", bundle, "--key",
                                  std::string(KELVOMA_SEAL_KEYS_DIR) + "/notary.sec"})
                .exit_status,
            0);
}

INSTANTIATE_TEST_SUITE_P(
    Bundles, SealTest,
    ::testing::Values(
        SealCase{.name = "Sealed", .message = ""},
        SealCase{.name = "Content",
                 .after_seal =
                     [](auto& b) { fixture::write_file(b / "Contents/Resources/marker.txt", "x"); },
                 .message = seal_refused,
                 .first_difference = "Contents/Resources/marker.txt (změněný obsah)"},
        SealCase{.name = "OwnerExecuteBit",
                 .after_seal =
                     [](auto& b) { fs::permissions(b / "Contents/Info.plist", fs::perms(0744)); },
                 .message = seal_refused,
                 .first_difference = "Contents/Info.plist (změněný bit spuštění)"},
        SealCase{.name = "ExtraFile",
                 .after_seal = [](auto& b) { fixture::write_file(b / "Contents/extra", ""); },
                 .message = seal_refused,
                 .first_difference = "Contents/extra (přidáno)"},
        SealCase{.name = "MissingFile",
                 .after_seal = [](auto& b) { fs::remove(b / "Contents/Resources/marker.txt"); },
                 .message = seal_refused,
                 .first_difference = "Contents/Resources/marker.txt (chybí)"},
        SealCase{.name = "LinkRetargeted",
                 .after_seal =
                     [](auto& b) {
                       fs::remove(b / "Contents/Resources/marker-link");
                       fs::create_symlink("../Info.plist", b / "Contents/Resources/marker-link");
                     },
                 .message = seal_refused,
                 .first_difference = "Contents/Resources/marker-link (změněný cíl odkazu)"},
        SealCase{.name = "TypeChanged",
                 .after_seal =
                     [](auto& b) {
                       fs::remove(b / "Contents/Resources/marker.txt");
                       fs::create_directory(b / "Contents/Resources/marker.txt");
                     },
                 .message = seal_refused,
                 .first_difference = "Contents/Resources/marker.txt (soubor → složka)"},
        SealCase{
            .name = "NameWithATab",
            .before_seal = [](auto& b) { fixture::write_file(b / "Contents/a\tb", ""); },
            .after_seal = [](auto& b) { fs::rename(b / "Contents/a\tb", b / "Contents/a\\tb"); },
            .message = seal_refused},
        SealCase{
            .name = "WrongIdentifier",
            .expect = [](Tool& tool, CoreConfig&) { tool.bundle_id = "cz.tobranix.pane-keeper"; },
            .message = seal_refused},
        SealCase{.name = "WrongTeam",
                 .expect =
                     [](Tool& tool, CoreConfig& c) {
                       tool.team_id = "OTHERTEAM1";
                       c.team_keys.push_back(
                           {.team = "OTHERTEAM1", .public_key = c.team_keys[0].public_key});
                     },
                 .message = seal_refused},
        SealCase{.name = "UnknownTeam",
                 .expect = [](Tool& tool, CoreConfig&) { tool.team_id = "NOKEYTEAM1"; },
                 .message = seal_refused},
        SealCase{.name = "KeyNumberMismatch",
                 .after_seal = resign("CodeSeal", [](auto& bytes) { bytes[2] ^= 1; }),
                 .message = seal_refused},
        SealCase{.name = "NonCanonicalSignature",
                 .after_seal = resign("CodeSeal", add_group_order),
                 .message = seal_refused},
        SealCase{
            .name = "TicketMissing",
            .after_seal = [](auto& b) { fs::remove(b / "Contents/_CodeSignature/Notarization"); },
            .message = ticket_refused,
            .cause = "Příčina: notářský lístek @B@/Contents/_CodeSignature/Notarization chybí; "
                     "připoj ho (kelvoma-publish notarize) po posledním zapečetění."},
        SealCase{.name = "SealMissing",
                 .after_seal = [](auto& b) { fs::remove(b / "Contents/_CodeSignature/CodeSeal"); },
                 .message = seal_refused,
                 .cause = "Příčina: balíček není zapečetěný: @B@/Contents/_CodeSignature/CodeSeal "
                          "chybí; zapečeť balíček (kelvoma-publish seal) a připoj lístek "
                          "(kelvoma-publish notarize)."},
        SealCase{.name = "SealedWithAnotherKeyOfTheTeam",
                 .after_seal = sealed_with_another_key,
                 .message = seal_refused,
                 .cause = "Příčina: pečeť @B@/Contents/_CodeSignature/CodeSeal je týmu TESTTEAM42, "
                          "ale podepsal ji jiný klíč, než s jakým se pečeť týmu TESTTEAM42 "
                          "kontroluje (--team-key, jinak klíč v tomto sestavení); zapečeť balíček "
                          "tajným klíčem týmu TESTTEAM42 a připoj lístek (kelvoma-publish "
                          "notarize)."},
        SealCase{.name = "TicketOverAnotherSeal",
                 .after_seal =
                     [](auto& b) {
                       const auto ticket =
                           fixture::read_file(b / "Contents/_CodeSignature/Notarization");
                       fixture::write_file(b / "Contents/extra", "");
                       ASSERT_TRUE(fixture::seal_bundle(b, "TESTTEAM42", false));
                       fixture::write_file(b / "Contents/_CodeSignature/Notarization", ticket);
                     },
                 .message = ticket_refused,
                 .cause = "Příčina: lístek @B@/Contents/_CodeSignature/Notarization nepatří k této "
                          "pečeti (balíček byl po notarizaci znovu zapečetěn); připoj nový lístek "
                          "(kelvoma-publish notarize)."},
        SealCase{.name = "NotaryKeyAbsent",
                 .expect = [](Tool&, CoreConfig& c) { c.notary_key.clear(); },
                 .message = ticket_refused},
        SealCase{.name = "NonElfExecutable",
                 .before_seal = [](auto& b) { write_executable(b, "#!/bin/sh\nexit 0\n"); },
                 .message = ticket_refused},
        SealCase{.name = "ElfOfAnotherMachine",  // SPARC
                 .before_seal = machine_set(2),
                 .message = "Program aplikace je pro jiný procesor (stroj ELF 2); tento počítač má "
                            "procesor " +
                            std::string(architecture_name(this_architecture)) + "."},
        SealCase{.name = "ElfForTheOtherProcessor",
                 .before_seal = machine_set(elf_machine(other_architecture)),
                 .message = program_refused(other_architecture, this_architecture)},
        SealCase{.name = "CheckedForTheOtherProcessor",
                 .expect = [](Tool&, CoreConfig& c) { c.machine = other_architecture; },
                 .message = program_refused(this_architecture, other_architecture)},
        SealCase{
            .name = "SharedLibraryAsProgram",
            .before_seal = program_from(KELVOMA_FIXTURE_LIBRARY),
            .message = "Program aplikace je sdílená knihovna, ne spustitelný program; instalovat "
                       "lze jen aplikaci, jejíž program jde spustit."},
        SealCase{.name = "StaticPieProgram",
                 .before_seal = program_from(KELVOMA_FIXTURE_STATIC_PIE)},
        SealCase{
            .name = "AbsoluteLink",
            .before_seal = link_at("Contents/Resources/passwd", "/etc/passwd"),
            .message = outside("Contents/Resources/passwd", "vede na absolutní cestu /etc/passwd"),
            .link_out = true},
        SealCase{.name = "LinkClimbingOut",
                 .before_seal = link_at("Contents/Resources/up", "../../.."),
                 .message = outside("Contents/Resources/up", "vede ven z aplikace (../../..)"),
                 .link_out = true},
        SealCase{.name = "ChainOfLinksClimbingOut",
                 .before_seal =
                     [](auto& b) {
                       link_at("Contents/up", "..")(b);  // the bundle itself: inside
                       link_at("Contents/up2", "up/..")(b);
                     },
                 .message = outside("Contents/up2", "vede ven z aplikace (up/..)"),
                 .link_out = true},
        SealCase{.name = "LinkToTheBundleItself",
                 .before_seal = link_at("Contents/Resources/top", "../..")},
        SealCase{.name = "ContentsIsALinkBesideIt",
                 .after_seal = linked_beside("Contents", "Real"),
                 .message = seal_refused},
        SealCase{.name = "InfoPlistIsALinkBesideIt",
                 .before_seal = linked_beside("Contents/Info.plist", "Contents/Info-real.plist"),
                 .message = ticket_refused,
                 .link_out = true,
                 .refusal = identity_link("Contents/Info.plist")},
        SealCase{.name = "ProgramFolderIsALinkBesideIt",
                 .before_seal = linked_beside("Contents/MacOS", "Contents/Programs"),
                 .message = ticket_refused,
                 .link_out = true,
                 .refusal = identity_link("Contents/MacOS")},
        SealCase{.name = "FileInSealFolder",
                 .after_seal =
                     [](auto& b) { fixture::write_file(b / "Contents/_CodeSignature/x.so", ""); },
                 .message = seal_refused,
                 .first_difference = "Contents/_CodeSignature/x.so (přidáno)"},
        SealCase{
            .name = "FolderInSealFolder",
            .after_seal = [](auto& b) { fs::create_directory(b / "Contents/_CodeSignature/x"); },
            .message = seal_refused},
        SealCase{
            .name = "LinkInSealFolder",
            .after_seal =
                [](auto& b) { fs::create_symlink("/etc/passwd", b / "Contents/_CodeSignature/x"); },
            .message = seal_refused},
        SealCase{.name = "NulInSealComment",  // signify stops reading the comment there
                 .after_seal =
                     [](auto& b) {
                       const fs::path seal = b / "Contents/_CodeSignature/CodeSeal";
                       fixture::write_file(seal, fixture::read_file(seal).insert(20, 1, '\0'));
                     },
                 .message = seal_refused},
        SealCase{.name = "ExecutableWithoutExecuteBit",
                 .before_seal =
                     [](auto& b) {
                       fs::permissions(b / "Contents/MacOS/fixture-tool", fs::perms(0644));
                     },
                 .message = ticket_refused,
                 .cause = "Příčina: program @B@/Contents/MacOS/fixture-tool nemá bit spuštění "
                          "vlastníka (práva 0644); spusť na něj chmod 0755, balíček znovu "
                          "zapečeť a připoj lístek."},
        SealCase{.name = "OpenAt2Missing",
                 .message = "Function not implemented (os error 38)",
                 .openat2_error = ENOSYS},
        SealCase{.name = "OpenAt2RefusedByAFilter",
                 .message = "Operation not permitted (os error 1)",
                 .openat2_error = EPERM},
        SealCase{.name = "ExecutableIsALink",
                 .before_seal =
                     [](auto& b) {
                       fs::rename(b / "Contents/MacOS/fixture-tool", b / "Contents/MacOS/real");
                       fs::create_symlink("real", b / "Contents/MacOS/fixture-tool");
                     },
                 .message = ticket_refused,
                 .link_out = true,
                 .refusal = identity_link("Contents/MacOS/fixture-tool")}),
    [](const auto& test) { return test.param.name; });

// Both directions against OpenBSD's signify: it verifies what the publisher
// tool writes, and a seal it makes over the tool's list is accepted.
TEST_F(BundleTest, SealsInteroperateWithSignify) {
  const fs::path bundle = make(fixture::tool_bundle("orbit-action-dial", 1));
  ASSERT_TRUE(fixture::seal_bundle(bundle));
  const std::string keys = KELVOMA_SEAL_KEYS_DIR,
                    seal = bundle / "Contents/_CodeSignature/CodeSeal";
  const auto signify = [](std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "/usr/bin/signify-openbsd");
    return testing::run_program(arguments);
  };
  const auto checked = signify(
      {"-V", "-q", "-e", "-p", keys + "/TESTTEAM42.pub", "-x", seal, "-m", dir_.file("out")});
  EXPECT_EQ(checked.exit_status, 0) << checked.err;
  const auto ticket = signify({"-V", "-q", "-p", keys + "/notary.pub", "-x",
                               bundle / "Contents/_CodeSignature/Notarization", "-m", seal});
  EXPECT_EQ(ticket.exit_status, 0) << ticket.err;

  fixture::write_file(bundle / "Contents/extra", "");  // a new list for signify to sign
  const auto list =
      testing::run_program({KELVOMA_PUBLISH_EXE, "seal-list", bundle, "--team", "TESTTEAM42"});
  fixture::write_file(dir_.file("list"), list.out);
  fs::remove(seal);
  for (auto arguments : {std::vector<std::string>{"-S", "-e", "-s", keys + "/TESTTEAM42.sec", "-m",
                                                  dir_.file("list"), "-x", seal},
                         {"-S", "-s", keys + "/notary.sec", "-m", seal, "-x",
                          bundle / "Contents/_CodeSignature/Notarization"}}) {
    fs::remove(arguments.back());
    const auto made = signify(arguments);
    ASSERT_EQ(made.exit_status, 0) << made.err;
  }
  const auto verified = verify_code_signature(fixture::seal_config(), bundle, orbit());
  EXPECT_TRUE(verified.has_value()) << verified.error();

  // Keys the publisher tool makes serve signify as well.
  const std::string pub = dir_.file("k.pub"), sec = dir_.file("k.sec"), sig = dir_.file("l.sig");
  ASSERT_EQ(testing::run_program({KELVOMA_PUBLISH_EXE, "seal-keygen", pub, sec}).exit_status, 0);
  ASSERT_EQ(signify({"-S", "-s", sec, "-m", dir_.file("list"), "-x", sig}).exit_status, 0);
  EXPECT_EQ(signify({"-V", "-q", "-p", pub, "-m", dir_.file("list"), "-x", sig}).exit_status, 0);
}

// --- validate_managed_bundle -----------------------------------------------

struct ManagedCase {
  std::string name;
  std::function<void(BundleSpec&)> change;
  std::uint64_t release_build;
  std::string message;  // empty: success
};

void PrintTo(const ManagedCase& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class ManagedValidationTest : public BundleTest,
                              public ::testing::WithParamInterface<ManagedCase> {};

TEST_P(ManagedValidationTest, Checks) {
  BundleSpec spec = fixture::tool_bundle("orbit-action-dial", 7);
  GetParam().change(spec);
  const auto valid =
      validate_managed_bundle(build_config(), make(spec), orbit(), GetParam().release_build);
  if (GetParam().message.empty()) {
    EXPECT_TRUE(valid.has_value()) << valid.error();
    EXPECT_EQ(stubs_.runs().size(), 2u);
  } else {
    ASSERT_FALSE(valid.has_value());
    EXPECT_EQ(valid.error(), GetParam().message);
    EXPECT_TRUE(stubs_.runs().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Bundles, ManagedValidationTest,
    ::testing::Values(
        ManagedCase{"Matching", [](BundleSpec&) {}, 7, ""},
        ManagedCase{"BinaryInfoPlist", [](BundleSpec& s) { s.format = PlistFormat::binary; }, 7,
                    ""},
        ManagedCase{"OtherIdentifier",
                    [](BundleSpec& s) {
                      fixture::set_info(s, "CFBundleIdentifier", std::string("cz.tobranix.x"));
                    },
                    7, "Stažená aplikace neodpovídá podepsané verzi."},
        ManagedCase{"IdentifierInOtherCase",
                    [](BundleSpec& s) {
                      fixture::set_info(s, "CFBundleIdentifier",
                                        std::string("cz.tobranix.Orbit-action-dial"));
                    },
                    7, "Stažená aplikace neodpovídá podepsané verzi."},
        ManagedCase{"BuildOneHigher", [](BundleSpec&) {}, 6,
                    "Stažená aplikace neodpovídá podepsané verzi."},
        ManagedCase{"BuildOneLower", [](BundleSpec&) {}, 8,
                    "Stažená aplikace neodpovídá podepsané verzi."},
        ManagedCase{"IntegerBuild",
                    [](BundleSpec& s) { fixture::set_info(s, "CFBundleVersion", std::int64_t{7}); },
                    7, "Chybí číslo sestavení."},
        ManagedCase{
            "DottedBuild",
            [](BundleSpec& s) { fixture::set_info(s, "CFBundleVersion", std::string("7.0")); }, 7,
            "Neplatné číslo sestavení."},
        ManagedCase{"NoIdentifier",
                    [](BundleSpec& s) { fixture::remove_info(s, "CFBundleIdentifier"); }, 7,
                    "Chybí identifikátor aplikace."}),
    [](const auto& test) { return test.param.name; });

TEST_F(BundleTest, ManagedBundleOfAnotherNameIsMissing) {
  BundleSpec spec = fixture::tool_bundle("orbit-action-dial", 7);
  spec.bundle_name = "Orbit.app";
  make(spec);
  const auto valid =
      validate_managed_bundle(build_config(), dir_.file("Orbit Action Dial.app"), orbit(), 7);
  ASSERT_FALSE(valid.has_value());
  EXPECT_EQ(valid.error(), "No such file or directory (os error 2)");
}

TEST_F(BundleTest, ManagedBundleThatIsASymbolicLink) {
  BundleSpec spec = fixture::tool_bundle("orbit-action-dial", 7);
  spec.bundle_name = "Real.app";
  const std::string real = make(spec);
  const std::string link = dir_.file("Orbit Action Dial.app");
  fs::create_directory_symlink(real, link);
  const auto valid = validate_managed_bundle(build_config(), link, orbit(), 7);
  ASSERT_FALSE(valid.has_value());
  EXPECT_EQ(valid.error(), "Balíček aplikace nesmí být symbolický odkaz.");
  EXPECT_TRUE(stubs_.runs().empty());
}

// --- validate_external_bundle ----------------------------------------------

Tool clip() { return *find_tool("clip-ledger"); }

struct ExternalCase {
  std::string name;
  std::function<void(BundleSpec&)> change;
  std::string version;
  std::string os_version;
  std::string message;  // empty: success
};

void PrintTo(const ExternalCase& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class ExternalValidationTest : public BundleTest,
                               public ::testing::WithParamInterface<ExternalCase> {};

TEST_P(ExternalValidationTest, Checks) {
  BundleSpec spec = fixture::tool_bundle("clip-ledger", 1, "1.2");
  GetParam().change(spec);
  const auto valid = validate_external_bundle(build_config(), make(spec), clip(),
                                              GetParam().version, GetParam().os_version);
  if (GetParam().message.empty()) {
    EXPECT_TRUE(valid.has_value()) << valid.error();
    EXPECT_EQ(stubs_.runs().size(), 2u);
  } else {
    ASSERT_FALSE(valid.has_value());
    EXPECT_EQ(valid.error(), GetParam().message);
    EXPECT_TRUE(stubs_.runs().empty());
  }
}

const std::string other_release = "Stažená aplikace neodpovídá vybranému vydání.";

INSTANTIATE_TEST_SUITE_P(
    Bundles, ExternalValidationTest,
    ::testing::Values(
        ExternalCase{"Matching", [](BundleSpec&) {}, "1.2", "14.0.0", ""},
        ExternalCase{"BinaryInfoPlist", [](BundleSpec& s) { s.format = PlistFormat::binary; },
                     "1.2", "14.0.0", ""},
        ExternalCase{
            "BuildIsNotLookedAt",
            [](BundleSpec& s) { fixture::set_info(s, "CFBundleVersion", std::string("1.0 beta")); },
            "1.2", "14.0.0", ""},
        ExternalCase{"NoIdentifier",
                     [](BundleSpec& s) { fixture::remove_info(s, "CFBundleIdentifier"); }, "1.2",
                     "14.0.0", other_release},
        ExternalCase{"OtherIdentifier",
                     [](BundleSpec& s) {
                       fixture::set_info(s, "CFBundleIdentifier", std::string("cz.tobranix.x"));
                     },
                     "1.2", "14.0.0", other_release},
        ExternalCase{"LongerVersion", [](BundleSpec&) {}, "1.2.0", "14.0.0", other_release},
        ExternalCase{"NoShortVersion",
                     [](BundleSpec& s) { fixture::remove_info(s, "CFBundleShortVersionString"); },
                     "1.2", "14.0.0", other_release},
        ExternalCase{"IntegerShortVersion",
                     [](BundleSpec& s) {
                       fixture::set_info(s, "CFBundleShortVersionString", std::int64_t{1});
                     },
                     "1", "14.0.0", other_release},
        ExternalCase{"NoMinimumSystem",
                     [](BundleSpec& s) { fixture::remove_info(s, "LSMinimumSystemVersion"); },
                     "1.2", "14.0.0", "Chybí minimální verze macOS."},
        ExternalCase{
            "IntegerMinimumSystem",
            [](BundleSpec& s) { fixture::set_info(s, "LSMinimumSystemVersion", std::int64_t{13}); },
            "1.2", "14.0.0", "Chybí minimální verze macOS."},
        ExternalCase{"SystemTooOld",
                     [](BundleSpec& s) {
                       fixture::set_info(s, "LSMinimumSystemVersion", std::string("14.2"));
                     },
                     "1.2", "14.1.9", "Vyžaduje macOS 14.2 nebo novější."},
        ExternalCase{"UnreadableMinimum",
                     [](BundleSpec& s) {
                       fixture::set_info(s, "LSMinimumSystemVersion", std::string("fourteen"));
                     },
                     "1.2", "14.1.0", "Neplatná verze macOS."},
        ExternalCase{"UnreadableSystem", [](BundleSpec&) {}, "1.2", "", "Neplatná verze macOS."}),
    [](const auto& test) { return test.param.name; });

TEST_F(BundleTest, ExternalBundleThatIsASymbolicLink) {
  BundleSpec spec = fixture::tool_bundle("clip-ledger", 1, "1.2");
  spec.bundle_name = "Real.app";
  const std::string link = dir_.file("Clip Ledger.app");
  fs::create_directory_symlink(make(spec), link);
  const auto valid = validate_external_bundle(build_config(), link, clip(), "1.2", "14.0.0");
  ASSERT_FALSE(valid.has_value());
  EXPECT_EQ(valid.error(), "Balíček aplikace nesmí být symbolický odkaz.");
}

TEST_F(BundleTest, ValidationChangesNothingOnDisk) {
  const std::string bundle = make(fixture::tool_bundle("orbit-action-dial", 7));
  const auto before = install_testing::tree(dir_.path());
  ASSERT_TRUE(validate_managed_bundle(build_config(), bundle, orbit(), 7).has_value());
  EXPECT_EQ(install_testing::tree(dir_.path()), before);
}

}  // namespace
}  // namespace kelvoma
