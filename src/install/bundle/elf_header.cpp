#include "install/bundle/elf_header.h"

#include <elf.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <vector>

namespace kelvoma {
namespace {

// Far above any linker's output; the bounds keep a hostile header from
// making the reader allocate or read much.
constexpr std::size_t max_program_headers = 4096;
constexpr std::size_t max_dynamic_size = 64 * 1024;

// Exactly `size` bytes at `offset`, or nothing.
std::optional<std::vector<unsigned char>> read_at(int fd, std::uint64_t offset, std::size_t size) {
  if (offset > static_cast<std::uint64_t>(INT64_MAX) - size) {
    return std::nullopt;
  }
  std::vector<unsigned char> bytes(size);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got =
        ::pread(fd, bytes.data() + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return std::nullopt;
    }
    done += static_cast<std::size_t>(got);
  }
  return bytes;
}

// Little-endian fields, read byte by byte so that the host's order never matters.
std::uint64_t little(const unsigned char* at, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = size; i-- > 0;) {
    value = (value << 8) | at[i];
  }
  return value;
}

std::uint16_t half(const unsigned char* at, bool little_endian) {
  return little_endian ? static_cast<std::uint16_t>(at[0] | (at[1] << 8))
                       : static_cast<std::uint16_t>((at[0] << 8) | at[1]);
}

// Whether the dynamic segment at `offset` carries DF_1_PIE in DT_FLAGS_1.
std::expected<bool, NotElf> pie_flag(int fd, std::uint64_t offset, std::uint64_t size) {
  const std::size_t wanted =
      static_cast<std::size_t>(std::min<std::uint64_t>(size, max_dynamic_size));
  const auto dynamic = read_at(fd, offset, wanted - wanted % sizeof(Elf64_Dyn));
  if (!dynamic) {
    return std::unexpected(NotElf::damaged);
  }
  for (std::size_t at = 0; at < dynamic->size(); at += sizeof(Elf64_Dyn)) {
    const std::uint64_t tag = little(dynamic->data() + at, 8);
    if (tag == DT_NULL) {
      break;
    }
    if (tag == DT_FLAGS_1) {
      return (little(dynamic->data() + at + 8, 8) & DF_1_PIE) != 0;
    }
  }
  return false;
}

// The interpreter and the PIE flag, from the program headers of a 64-bit
// little-endian file.
std::expected<void, NotElf> read_segments(int fd, const Elf64_Ehdr& raw, ElfHeader& header) {
  const auto* fields = reinterpret_cast<const unsigned char*>(&raw);
  const std::uint64_t table = little(fields + offsetof(Elf64_Ehdr, e_phoff), 8);
  const std::size_t entry = little(fields + offsetof(Elf64_Ehdr, e_phentsize), 2);
  const std::size_t count = little(fields + offsetof(Elf64_Ehdr, e_phnum), 2);
  if (count == 0) {
    return {};
  }
  if (entry != sizeof(Elf64_Phdr) || count > max_program_headers) {
    return std::unexpected(NotElf::damaged);
  }
  const auto segments = read_at(fd, table, entry * count);
  if (!segments) {
    return std::unexpected(NotElf::damaged);
  }
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned char* segment = segments->data() + i * entry;
    const auto type = little(segment + offsetof(Elf64_Phdr, p_type), 4);
    header.interpreter = header.interpreter || type == PT_INTERP;
    if (type == PT_DYNAMIC) {
      const auto flag = pie_flag(fd, little(segment + offsetof(Elf64_Phdr, p_offset), 8),
                                 little(segment + offsetof(Elf64_Phdr, p_filesz), 8));
      if (!flag) {
        return std::unexpected(flag.error());
      }
      header.pie_flag = *flag;
    }
  }
  return {};
}

}  // namespace

std::expected<ElfHeader, NotElf> read_elf_header(int fd) {
  Elf64_Ehdr raw{};
  const auto* fields = reinterpret_cast<const unsigned char*>(&raw);
  // e_ident, e_type and e_machine lie at the same offsets in both classes.
  const auto start = read_at(fd, 0, EI_NIDENT + 4);
  if (!start || std::memcmp(start->data(), ELFMAG, SELFMAG) != 0) {
    const auto two = read_at(fd, 0, 2);
    const bool script = two && (*two)[0] == '#' && (*two)[1] == '!';
    return std::unexpected(script ? NotElf::script : NotElf::other);
  }
  std::memcpy(&raw, start->data(), start->size());
  const bool little_endian = raw.e_ident[EI_DATA] == ELFDATA2LSB;
  ElfHeader header{
      .wide_little_endian = raw.e_ident[EI_CLASS] == ELFCLASS64 && little_endian,
      .type = half(fields + offsetof(Elf64_Ehdr, e_type), little_endian),
      .machine = half(fields + offsetof(Elf64_Ehdr, e_machine), little_endian),
  };
  if (!header.wide_little_endian) {
    return header;
  }
  const auto whole = read_at(fd, 0, sizeof raw);
  if (!whole) {
    return std::unexpected(NotElf::damaged);
  }
  std::memcpy(&raw, whole->data(), sizeof raw);
  if (auto segments = read_segments(fd, raw, header); !segments) {
    return std::unexpected(segments.error());
  }
  return header;
}

std::optional<Architecture> elf_architecture(const ElfHeader& header) {
  if (!header.wide_little_endian) {
    return std::nullopt;
  }
  switch (header.machine) {
    case EM_X86_64:
      return Architecture::x86_64;
    case EM_AARCH64:
      return Architecture::arm64;
    default:
      return std::nullopt;
  }
}

ElfRole elf_role(const ElfHeader& header) {
  if (header.type == ET_EXEC) {
    return ElfRole::program;
  }
  if (header.type == ET_DYN) {
    return header.interpreter || header.pie_flag ? ElfRole::program : ElfRole::shared_library;
  }
  return ElfRole::other;
}

}  // namespace kelvoma
