// What one recorded update did to the file system below one folder (the
// root), read from strace's log, in the order the kernel finished the calls.
//
// The recorder is strace (-f -y -xx): it sees every thread and child at the
// kernel boundary, so no call escapes it the way a call inside libc or a
// statically linked helper escapes an LD_PRELOAD interposer, and it names
// the file behind every descriptor (-y) without our own bookkeeping of
// descriptor tables; ptrace by hand would rebuild exactly that. -xx prints
// every path and every written byte as hex, which makes the log unambiguous
// for any name. Its slowness does not matter for one recorded update. The
// socket details of -yy are of no use here and are left out.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace kelvoma::crash {

enum class OpKind {
  // Metadata: reach the journal in order on ext4.
  create,     // a new regular file at `path` (O_CREAT; an existing one is opened)
  anonymous,  // an unnamed file (O_TMPFILE), known as `path` until linked
  mkdir,
  symlink,  // `path` -> `text`
  link,     // a second name `path2` for the file at `path`
  rename,   // `path` to `path2`
  unlink,
  rmdir,
  chmod,
  truncate,  // the file at `path` to `offset` bytes
  // Data: may be lost unless a barrier followed.
  write,  // `data` at `offset` of the file at `path`
  // Barriers.
  fsync,
  fdatasync,
  syncfs,
  sync,
};

struct Op {
  OpKind kind = OpKind::sync;
  std::string path{};  // below the root, "" being the root itself
  std::string path2{};
  std::string text{};
  std::string data{};
  std::uint64_t offset = 0;
  unsigned mode = 0;
  bool truncates = false;   // create: O_TRUNC, for a file that exists
  bool no_replace = false;  // rename: RENAME_NOREPLACE
  // Filled from the whole update's replay (see tree.h): the file or folder
  // the operation is about, and the folders whose entries it changes.
  int inode = -1;
  std::vector<int> folders{};
};

bool is_metadata(OpKind kind);
bool is_barrier(OpKind kind);
std::string describe(const Op& op);

// The system calls to record, for strace's -e trace=.
std::string_view traced_calls();

// The operations of a strace -f -y -xx log below `root` (absolute, without
// a trailing slash). Fails on a call below the root that the model cannot
// replay (writev, copy_file_range, O_APPEND...), so nothing passes silently.
std::expected<std::vector<Op>, std::string> read_trace(std::string_view log,
                                                       const std::string& root);

}  // namespace kelvoma::crash
