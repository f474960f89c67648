#include "support/fixture_bundle.h"

#include <elf.h>
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>

#include "kelvoma/bundle_program.h"
#include "support/run_program.h"
#include "support/signing.h"
#include "verify/catalog.h"

namespace kelvoma::fixture {
namespace {

namespace fs = std::filesystem;

struct PlistDeleter {
  void operator()(plist_t node) const { plist_free(node); }
};

plist_t plist_node(const PlistValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) {
    return plist_new_string(text->c_str());
  }
  if (const auto* number = std::get_if<std::int64_t>(&value)) {
    return plist_new_uint(static_cast<std::uint64_t>(*number));
  }
  return plist_new_bool(std::get<bool>(value) ? 1 : 0);
}

bool write_bytes(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    ADD_FAILURE() << "cannot write " << path;
    return false;
  }
  return true;
}

bool write_random(const fs::path& path, std::uint64_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::mt19937_64 generator(std::random_device{}());
  std::vector<std::uint64_t> block(8192);
  for (std::uint64_t left = size; left > 0;) {
    std::ranges::generate(block, std::ref(generator));
    const std::uint64_t chunk = std::min<std::uint64_t>(left, block.size() * 8);
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(chunk));
    left -= chunk;
  }
  out.close();
  if (!out) {
    ADD_FAILURE() << "cannot write " << path;
    return false;
  }
  return true;
}

std::vector<std::uint8_t> read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    ADD_FAILURE() << "cannot read " << path;
    return {};
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool run(const std::vector<std::string>& arguments) {
  const auto result = testing::run_program(arguments);
  if (result.exit_status != 0) {
    ADD_FAILURE() << arguments.front() << " failed (" << result.exit_status << "): " << result.err;
    return false;
  }
  return true;
}

// Adds every file, directory and symbolic link under DIRECTORY/BUNDLE with
// its mode, then the hostile entry of KIND.
constexpr std::string_view hostile_zip_script = R"PY(
import os, stat, sys, zipfile, zlib
archive, directory, bundle, kind, outside = sys.argv[1:6]

def add(z, name, data, mode):
    info = zipfile.ZipInfo(name)
    info.create_system = 3
    info.external_attr = mode << 16
    z.writestr(info, data)

with zipfile.ZipFile(archive, 'w', zipfile.ZIP_DEFLATED) as z:
    root = os.path.join(directory, bundle)
    for here, dirs, files in os.walk(root):
        dirs.sort()
        relative = os.path.relpath(here, directory)
        add(z, relative + '/', b'', stat.S_IFDIR | 0o755)
        for name in sorted(files) + [d for d in dirs if os.path.islink(os.path.join(here, d))]:
            path = os.path.join(here, name)
            info = os.lstat(path)
            if stat.S_ISLNK(info.st_mode):
                add(z, relative + '/' + name, os.readlink(path), stat.S_IFLNK | 0o777)
            else:
                with open(path, 'rb') as f:
                    add(z, relative + '/' + name, f.read(), info.st_mode)
    evil = b'written from a hostile archive\n'
    if kind == 'parent_directory':
        add(z, bundle + '/' + '../' * 40 + outside.lstrip('/'), evil, stat.S_IFREG | 0o644)
    elif kind == 'absolute_path':
        add(z, outside, evil, stat.S_IFREG | 0o644)
    elif kind == 'symlink_write':
        add(z, bundle + '/escape', os.path.dirname(outside), stat.S_IFLNK | 0o777)
        add(z, bundle + '/escape/' + os.path.basename(outside), evil, stat.S_IFREG | 0o644)
    elif kind == 'unicode_path':
        name = bundle + '/harmless.txt'
        info = zipfile.ZipInfo(name)
        info.create_system = 3
        info.external_attr = (stat.S_IFREG | 0o644) << 16
        upath = outside.encode()
        crc = zlib.crc32(name.encode())
        info.extra = (0x7075).to_bytes(2, 'little') + (5 + len(upath)).to_bytes(2, 'little') \
            + b'\x01' + crc.to_bytes(4, 'little') + upath
        z.writestr(info, evil)
    else:
        sys.exit('unknown kind ' + kind)
)PY";

std::string_view hostile_kind_name(HostileEntry kind) {
  switch (kind) {
    case HostileEntry::parent_directory:
      return "parent_directory";
    case HostileEntry::absolute_path:
      return "absolute_path";
    case HostileEntry::symlink_write:
      return "symlink_write";
    case HostileEntry::unicode_path:
      return "unicode_path";
  }
  return "";
}

}  // namespace

void set_info(BundleSpec& spec, std::string_view key, PlistValue value) {
  for (auto& [name, existing] : spec.info) {
    if (name == key) {
      existing = std::move(value);
      return;
    }
  }
  spec.info.emplace_back(std::string(key), std::move(value));
}

void remove_info(BundleSpec& spec, std::string_view key) {
  std::erase_if(spec.info, [&](const auto& entry) { return entry.first == key; });
}

BundleSpec tool_bundle(std::string_view tool_id, std::uint64_t build, std::string_view version) {
  const auto tool = find_tool(tool_id);
  if (!tool) {
    ADD_FAILURE() << "no fixture tool " << tool_id;
    return {};
  }
  BundleSpec spec;
  spec.bundle_name = tool->bundle_name;
  spec.info = {
      {"CFBundleIdentifier", tool->bundle_id},
      {"CFBundleVersion", std::to_string(build)},
      {"CFBundleShortVersionString", std::string(version)},
      {"CFBundleExecutable", spec.executable},
      {"CFBundleName", tool->name},
      {"LSMinimumSystemVersion", std::string("13.0")},
  };
  return spec;
}

std::string info_plist(const BundleSpec& spec) {
  const std::unique_ptr<void, PlistDeleter> root(plist_new_dict());
  for (const auto& [key, value] : spec.info) {
    plist_dict_set_item(root.get(), key.c_str(), plist_node(value));
  }
  char* bytes = nullptr;
  std::uint32_t length = 0;
  if (spec.format == PlistFormat::binary) {
    plist_to_bin(root.get(), &bytes, &length);
    std::string result(bytes, length);
    plist_to_bin_free(bytes);
    return result;
  }
  plist_to_xml(root.get(), &bytes, &length);
  std::string result(bytes, length);
  plist_to_xml_free(bytes);
  return result;
}

fs::path make_bundle(const fs::path& directory, const BundleSpec& spec) {
  const fs::path bundle = directory / spec.bundle_name;
  const fs::path contents = bundle / "Contents";
  std::error_code error;
  fs::create_directories(contents / "MacOS", error);
  fs::create_directories(contents / "Resources", error);
  if (error) {
    ADD_FAILURE() << "cannot create " << contents << ": " << error.message();
    return {};
  }
  if (!write_bytes(contents / "Info.plist", info_plist(spec)) ||
      !write_bytes(contents / "Resources" / "marker.txt", spec.marker)) {
    return {};
  }
  if (spec.payload_size > 0 &&
      !write_random(contents / "Resources" / "payload.bin", spec.payload_size)) {
    return {};
  }
  const fs::path executable = contents / "MacOS" / spec.executable;
  fs::copy_file(fixture_tool_path(), executable, fs::copy_options::overwrite_existing, error);
  if (!error) {
    fs::permissions(executable, fs::perms(0755), error);
  }
  if (!error) {
    fs::create_symlink("marker.txt", contents / "Resources" / "marker-link", error);
  }
  if (error) {
    ADD_FAILURE() << "cannot fill " << bundle << ": " << error.message();
    return {};
  }
  return bundle;
}

std::vector<std::uint8_t> zip_entries(const fs::path& directory,
                                      const std::vector<std::string>& entries,
                                      const fs::path& archive) {
  std::vector<std::string> arguments = {"/bin/sh", "-c", "cd \"$0\" && exec zip -qry \"$@\"",
                                        directory.string(), fs::absolute(archive).string()};
  arguments.insert(arguments.end(), entries.begin(), entries.end());
  std::error_code ignored;
  fs::remove(archive, ignored);
  if (!run(arguments)) {
    return {};
  }
  return read_bytes(archive);
}

std::vector<std::uint8_t> hostile_zip(const fs::path& directory, std::string_view bundle_name,
                                      HostileEntry kind, const fs::path& outside,
                                      const fs::path& archive) {
  if (!run({"/usr/bin/python3", "-c", std::string(hostile_zip_script), archive.string(),
            directory.string(), std::string(bundle_name), std::string(hostile_kind_name(kind)),
            outside.string()})) {
    return {};
  }
  return read_bytes(archive);
}

bool seal_bundle(const fs::path& bundle, std::string_view team, bool notarize) {
  const fs::path keys = KELVOMA_SEAL_KEYS_DIR;
  return run({KELVOMA_PUBLISH_EXE, "seal", bundle.string(), "--team", std::string(team), "--key",
              (keys / (std::string(team) + ".sec")).string()}) &&
         (!notarize || run({KELVOMA_PUBLISH_EXE, "notarize", bundle.string(), "--key",
                            (keys / "notary.sec").string()}));
}

bool seal_bundle_with_signify(const fs::path& bundle) {
  const fs::path keys = KELVOMA_SEAL_KEYS_DIR;
  const fs::path seal = bundle / "Contents/_CodeSignature/CodeSeal";
  const auto list = testing::run_program(
      {KELVOMA_PUBLISH_EXE, "seal-list", bundle.string(), "--team", "TESTTEAM42"});
  fs::create_directories(seal.parent_path());
  write_file(seal.parent_path() / "list", list.out);
  const bool sealed =
      list.exit_status == 0 &&
      run({"/usr/bin/signify-openbsd", "-S", "-e", "-s", (keys / "TESTTEAM42.sec").string(), "-m",
           (seal.parent_path() / "list").string(), "-x", seal.string()});
  fs::remove(seal.parent_path() / "list");
  // signify for the ticket too: kelvoma-publish refuses to notarize a bundle
  // whose Info.plist or program is a link.
  return sealed && run({"/usr/bin/signify-openbsd", "-S", "-s", (keys / "notary.sec").string(),
                        "-m", seal.string(), "-x", (seal.parent_path() / "Notarization").string()});
}

CoreConfig seal_config() {
  const auto key_line = [](const std::string& name) {
    const std::string text = read_file(fs::path(KELVOMA_SEAL_KEYS_DIR) / name);
    return text.substr(text.find('\n') + 1, 56);
  };
  CoreConfig config;
  config.code_trust = CodeTrust::seal;
  config.team_keys = {{.team = "TESTTEAM42", .public_key = key_line("TESTTEAM42.pub")}};
  config.notary_key = key_line("notary.pub");
  return config;
}

fs::path fixture_tool_path() { return KELVOMA_FIXTURE_TOOL_EXE; }

std::string_view foreign_processor() {
  return bundle_program::this_processor == "x86_64" ? "arm64" : "x86_64";
}

fs::path foreign_program(const fs::path& directory) {
  if (!std::string_view(KELVOMA_FIXTURE_FOREIGN).empty()) {
    return KELVOMA_FIXTURE_FOREIGN;
  }
  const fs::path copy = directory / "foreign" / fixture_tool_path().filename();
  fs::create_directories(copy.parent_path());
  std::string bytes = read_file(fixture_tool_path());
  bytes[18] = static_cast<char>(foreign_processor() == "arm64" ? EM_AARCH64 : EM_X86_64);
  write_bytes(copy, bytes);
  fs::permissions(copy, fs::perms(0755));
  return copy;
}

}  // namespace kelvoma::fixture
