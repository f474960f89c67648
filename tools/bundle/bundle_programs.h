// The programs a bundle carries: one, or one per processor in that
// processor's folder (kelvoma/bundle_program.h), each an ELF program for the
// processor its place says; and the check of the seal and the ticket as a
// Kelvoma on each of those processors makes it.
#pragma once

#include <expected>
#include <string>
#include <vector>

#include "verify/build_config.h"
#include "verify/catalog.h"

namespace kelvoma::publish {

struct BundleProgram {
  std::string place;         // below the bundle: Contents/MacOS/[<processor>/]<executable>
  std::string architecture;  // "x86_64", "arm64": read from its ELF header
};

// The folders of Contents/MacOS in the bundle at `bundle` where a program
// named `executable` is (as anything, a link included; nothing followed),
// by their bytes: "" for Contents/MacOS itself, then every folder there,
// whatever its name. Empty when `executable` can name no program.
std::vector<std::string> program_folders(const std::string& bundle, const std::string& executable);

// Every program of the bundle at `bundle` (named `shown_as` in messages)
// whose Info.plist names `executable`, in the order a release lists their
// processors. Refused, naming the program's place: no program at all; a
// program in both layouts; a folder of Contents/MacOS for a processor
// Kelvoma does not know that holds one; a program that is a link, no ELF
// program of a known processor, or in a processor's folder but built for
// another; with `need_execute_bit`, one its owner may not execute.
std::expected<std::vector<BundleProgram>, std::string> read_bundle_programs(
    const std::string& bundle, const std::string& shown_as, const std::string& executable,
    bool need_execute_bit);

// The processors of the programs, as a release lists them.
std::vector<std::string> architectures_of(const std::vector<BundleProgram>& programs);

// Processors as the commands print them: "arm64, x86_64".
std::string listed_processors(const std::vector<std::string>& names);

// The seal and the ticket of the bundle at `bundle` as the installation of a
// Kelvoma on each of `architectures` checks them with `trust`'s keys: the
// whole check for the first, then the program of each other one (the seal
// and the ticket are the same for every machine). The installation's
// message.
std::expected<void, std::string> verify_for_each_processor(
    const CoreConfig& trust, const std::string& bundle, const Tool& tool,
    const std::vector<std::string>& architectures);

}  // namespace kelvoma::publish
