// The one reader of ELF headers: what the installation and the publisher's
// tool learn from a bundle's program before it is started or shipped.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>

#include "verify/architecture.h"

namespace kelvoma {

// The facts of an ELF file that decide whether a Kelvoma starts it.
struct ElfHeader {
  bool wide_little_endian = false;  // ELFCLASS64 and ELFDATA2LSB, as every release's program
  std::uint16_t type = 0;           // e_type: ET_EXEC, ET_DYN, ...
  std::uint16_t machine = 0;        // e_machine: EM_X86_64, EM_AARCH64, ...
  // Read from the program headers of 64-bit little-endian files only.
  bool interpreter = false;  // a PT_INTERP segment: started through a dynamic loader
  bool pie_flag = false;     // DF_1_PIE in the dynamic segment's DT_FLAGS_1
};

// Why a file is no ELF header that can be read.
enum class NotElf {
  script,   // starts with "#!"
  other,    // no ELF magic (or shorter than a header)
  damaged,  // ELF magic, but program headers or the dynamic segment outside the file
};

// Reads the header of the file open as `fd` (from offset 0, with pread; the
// file offset is left alone). Reads a bounded number of bytes whatever the
// header claims.
std::expected<ElfHeader, NotElf> read_elf_header(int fd);

// The processor a release names for this header's machine; nothing for a
// file that is not 64-bit little-endian or for a machine no release names.
std::optional<Architecture> elf_architecture(const ElfHeader& header);

// What the file is when started: a program (ET_EXEC; or ET_DYN with an
// interpreter or the PIE flag, as ordinary and static position-independent
// executables are), a shared library (ET_DYN with neither: it crashes when
// started), or something else (an object file, a core dump).
enum class ElfRole { program, shared_library, other };
ElfRole elf_role(const ElfHeader& header);

}  // namespace kelvoma
