// Which machine made a work folder. A home shared between machines (NFS)
// may give each machine its own flock locks, so a folder that another
// machine holds looks abandoned here; the folder therefore names its maker
// in a small file, and recovery leaves alone what another machine made.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kelvoma {

// The file in a work folder: the host name and the kernel's boot id, one a
// line.
inline constexpr std::string_view machine_record_name = "machine";

struct Machine {
  std::string host;
  std::string boot;
};

// This machine as it is now (boot "-" where the boot id cannot be read);
// nullopt when it has no host name.
std::optional<Machine> this_machine();

// Writes this machine's record into the folder open as `folder_fd` with one
// write; 0 or the errno.
int write_machine_record(int folder_fd);

// The record in the folder; nullopt when there is none, when it is not a
// regular file (a FIFO or a symbolic link there is neither waited on nor
// followed) or it is incomplete (a power cut before its data reached the
// disk), and the folder is then judged as one of this machine's.
std::optional<Machine> read_machine_record(int folder_fd);

// Whether the folder's record names another machine: another host in
// another boot. The same host in an earlier boot, or this boot under a host
// name since changed, is this machine: its locks tell what still runs.
bool made_on_another_machine(int folder_fd);

}  // namespace kelvoma
