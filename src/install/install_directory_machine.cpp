#include "install/install_directory_machine.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "verify/util/unique_fd.h"

namespace kelvoma {
namespace {

constexpr std::size_t max_record_size = 4096;

// The whole of a small regular file, or nullopt. Opened without waiting and
// without following a link: a FIFO of that name must not hold recovery up,
// and a link must not lend it another folder's record.
std::optional<std::string> read_small(int dir_fd, const char* name) {
  const UniqueFd fd(::openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat info {};
  if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  std::string text(max_record_size, '\0');
  std::size_t size = 0;
  while (size < text.size()) {
    const ssize_t got = ::read(fd.get(), text.data() + size, text.size() - size);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return std::nullopt;
    }
    if (got == 0) {
      break;
    }
    size += static_cast<std::size_t>(got);
  }
  text.resize(size);
  return text;
}

// A line without a line break, NUL or emptiness; what follows it.
std::optional<std::string_view> take_line(std::string_view& text) {
  const auto end = text.find('\n');
  if (end == 0 || end == std::string_view::npos ||
      text.substr(0, end).find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  const std::string_view line = text.substr(0, end);
  text.remove_prefix(end + 1);
  return line;
}

}  // namespace

std::optional<Machine> this_machine() {
  char host[HOST_NAME_MAX + 1] = {};
  if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') {
    return std::nullopt;
  }
  // Without /proc the boot is unknown; the host alone decides.
  const std::string boot = read_small(AT_FDCWD, "/proc/sys/kernel/random/boot_id").value_or("");
  std::string_view boot_text = boot;
  const auto boot_line = take_line(boot_text);
  return Machine{.host = host, .boot = boot_line ? std::string(*boot_line) : "-"};
}

int write_machine_record(int folder_fd) {
  const auto machine = this_machine();
  if (!machine) {
    return ENOENT;
  }
  const std::string name(machine_record_name);
  const UniqueFd fd(::openat(folder_fd, name.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) {
    return errno;
  }
  const std::string text = machine->host + "\n" + machine->boot + "\n";
  const ssize_t written = ::write(fd.get(), text.data(), text.size());
  if (written < 0) {
    return errno;
  }
  return static_cast<std::size_t>(written) == text.size() ? 0 : ENOSPC;
}

std::optional<Machine> read_machine_record(int folder_fd) {
  const auto text = read_small(folder_fd, std::string(machine_record_name).c_str());
  if (!text) {
    return std::nullopt;
  }
  std::string_view rest = *text;
  const auto host = take_line(rest);
  const auto boot = take_line(rest);
  if (!host || !boot || !rest.empty()) {
    return std::nullopt;
  }
  return Machine{.host = std::string(*host), .boot = std::string(*boot)};
}

bool made_on_another_machine(int folder_fd) {
  const auto record = read_machine_record(folder_fd);
  if (!record) {
    return false;
  }
  const auto here = this_machine();
  // Unsure who we are: the folder might be another machine's.
  if (!here) {
    return true;
  }
  // The boot id stays through a rename of the host (or a name DHCP gives);
  // the host name stays through a reboot. Only both changed is elsewhere.
  const bool same_boot = here->boot != "-" && here->boot == record->boot;
  return here->host != record->host && !same_boot;
}

}  // namespace kelvoma
