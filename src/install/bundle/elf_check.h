// Whether a bundle's executable can run on this computer at all.
#pragma once

namespace kelvoma {

// Whether the file open as `fd` starts with an ELF header of this build's
// class, byte order and machine, of type ET_EXEC or ET_DYN.
bool is_native_executable(int fd);

}  // namespace kelvoma
