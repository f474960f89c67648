// The processors a release archive serves: those whose programs its bundle
// carries, read from the archive itself through the installation's ELF
// reader, so that a manifest never names a processor its users could not
// start the program on.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

namespace kelvoma::publish {

// The processors ("arm64", "x86_64"; sorted, each once) the bundle in the
// zip archive `archive` (named `shown_as` in refusals) serves, by the rule
// of kelvoma/bundle_program.h: the processor of the regular file
// Contents/MacOS/<CFBundleExecutable> below its top folder when there is
// one, else each processor whose folder there holds a program of that name
// built for it (its ELF header says which). Refused when the archive cannot
// be read or carries no such program.
std::expected<std::vector<std::string>, std::string> archive_processors(
    std::span<const std::uint8_t> archive, const std::string& shown_as);

// The same for the archive file open as `fd`.
std::expected<std::vector<std::string>, std::string> archive_processors(
    int fd, const std::string& shown_as);

// Refuses the first of `architectures` (a manifest's) that `carried` does
// not hold, naming it and what the archive carries.
std::expected<void, std::string> check_architectures_carried(
    const std::vector<std::string>& architectures, const std::vector<std::string>& carried,
    const std::string& shown_as);

}  // namespace kelvoma::publish
