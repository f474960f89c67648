// Unpacking release archives (zip) into a private directory.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <string>

namespace kelvoma {

// At most this many entries (files, folders, links) in one archive. A
// bundle of ours holds a few hundred; the bound keeps an archive from
// spending the file system's inodes or our time on millions of empty names.
inline constexpr std::uint64_t max_archive_entries = 100'000;

// At most this many bytes unpacked from one archive, summed over the sizes
// its entries declare and, while writing, over the bytes really written.
// Eight times the largest archive a release may declare (256 MiB): far
// above what compressed bundles expand to, far below filling a disk.
inline constexpr std::uint64_t max_unpacked_bytes = std::uint64_t{2} << 30;

// Creates `destination` (which must not exist; mode 0700) and unpacks the zip file
// open as `archive_fd` (read from its start; the descriptor through which
// it was verified, never reopened by name) into it. Failures: the system error text when
// `destination` cannot be created; otherwise "Balíček nelze rozbalit." for anything that is not a
// plain zip file of files, folders and symbolic links that stays below `destination`:
//   - another format, bytes before the first entry or after the end record
//     (a zip appended to a tar, a self-extracting stub), a broken archive,
//     an archive without entries;
//   - a name that is empty, absolute, holds a ".." component or lies below
//     (or names again) a symbolic link of the archive; a name that names
//     the destination itself ("." or "./"); a NUL byte in any name as the
//     zip stores it; a name or link target that is not UTF-8 (names are
//     read as UTF-8 whatever the process's locale); more than 256 components; a destination path of
//     PATH_MAX bytes or more;
//   - encrypted entries, hard links, devices, pipes;
//   - more than max_archive_entries entries, or declared sizes that sum to
//     more than max_unpacked_bytes or than the free space at `destination`;
//   - an entry whose data runs past the size it declares.
// All of this is judged from the entry headers before anything is written;
// the written bytes are counted again while unpacking. Every entry is made
// by descriptor below `destination`, never through a symbolic link; where
// the kernel (before 5.6) or a filter refuses openat2, which that relies
// on, nothing is written and the failure is the system error text.
// Symbolic links and permission bits are kept, less the process's umask,
// which is read and never changed; set-user-ID, set-group-ID and sticky
// bits and the owners recorded in the archive are not. Folders the archive
// does not list get 0777 less the umask. After a failure `destination`
// may hold part of the archive; the caller removes it.
// `progress`, when set, is told the bytes written so far of the sizes the
// files declare: (0, declared) once the archive is approved, then after every
// block written.
using UnpackProgress = std::function<void(std::uint64_t written, std::uint64_t declared)>;
std::expected<void, std::string> unpack_archive(int archive_fd, const std::string& destination,
                                                const UnpackProgress& progress = {});

}  // namespace kelvoma
