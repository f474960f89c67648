#include "install/bundle/elf_check.h"

#include <elf.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace kelvoma {
namespace {

#if defined(__x86_64__)
constexpr std::uint16_t this_machine = EM_X86_64;
#elif defined(__aarch64__)
constexpr std::uint16_t this_machine = EM_AARCH64;
#elif defined(__i386__)
constexpr std::uint16_t this_machine = EM_386;
#elif defined(__arm__)
constexpr std::uint16_t this_machine = EM_ARM;
#elif defined(__riscv)
constexpr std::uint16_t this_machine = EM_RISCV;
#elif defined(__powerpc64__)
constexpr std::uint16_t this_machine = EM_PPC64;
#elif defined(__s390x__)
constexpr std::uint16_t this_machine = EM_S390;
#else
#error "the ELF machine of this processor is not known here"
#endif

constexpr unsigned char this_class = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
constexpr unsigned char this_byte_order =
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;

}  // namespace

bool is_native_executable(int fd) {
  // e_ident, then e_type and e_machine: the same offsets in both classes.
  std::array<unsigned char, EI_NIDENT + 4> header{};
  ssize_t got = 0;
  do {
    got = ::pread(fd, header.data(), header.size(), 0);
  } while (got < 0 && errno == EINTR);
  if (got != static_cast<ssize_t>(header.size()) ||
      std::memcmp(header.data(), ELFMAG, SELFMAG) != 0 || header[EI_CLASS] != this_class ||
      header[EI_DATA] != this_byte_order) {
    return false;
  }
  // The byte order is this computer's, so the fields read as they are.
  std::uint16_t type = 0;
  std::uint16_t machine = 0;
  std::memcpy(&type, header.data() + EI_NIDENT, 2);
  std::memcpy(&machine, header.data() + EI_NIDENT + 2, 2);
  return (type == ET_EXEC || type == ET_DYN) && machine == this_machine;
}

}  // namespace kelvoma
