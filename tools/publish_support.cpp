#include "publish_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>

#include "releases/system_error.h"

namespace kelvoma::publish {

std::unexpected<Failure> fail(std::string message) {
  return std::unexpected(Failure{std::move(message), false});
}

std::unexpected<Failure> usage_error(std::string message) {
  return std::unexpected(Failure{std::move(message), true});
}

std::expected<std::vector<std::uint8_t>, std::string> read_whole_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return std::unexpected(path + ": " + system_error_text(errno));
  }
  std::vector<std::uint8_t> bytes;
  struct stat status {};
  if (::fstat(fd, &status) == 0 && status.st_size > 0) {
    bytes.reserve(static_cast<std::size_t>(status.st_size));
  }
  std::array<std::uint8_t, 1 << 16> block{};
  while (true) {
    const ssize_t count = ::read(fd, block.data(), block.size());
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0) {
      const int error = errno;
      ::close(fd);
      return std::unexpected(path + ": " + system_error_text(error));
    }
    if (count == 0) {
      break;
    }
    bytes.insert(bytes.end(), block.begin(), block.begin() + count);
  }
  ::close(fd);
  return bytes;
}

namespace {

// Writes all of `text` to a descriptor, then closes it.
std::expected<void, std::string> write_and_close(int fd, std::string_view text,
                                                 const std::string& path) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written < 0) {
      const int error = errno;
      ::close(fd);
      return std::unexpected(path + ": " + system_error_text(error));
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  if (::close(fd) != 0) {
    return std::unexpected(path + ": " + system_error_text(errno));
  }
  return {};
}

std::expected<void, std::string> create_new_file(const std::string& path, std::string_view text,
                                                 mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) {
    return std::unexpected(path + ": " + system_error_text(errno));
  }
  return write_and_close(fd, text, path);
}

}  // namespace

std::expected<void, std::string> replace_file(const std::string& path, std::string_view text) {
  const std::string temporary = path + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    return std::unexpected(temporary + ": " + system_error_text(errno));
  }
  if (auto written = write_and_close(fd, text, temporary); !written) {
    ::unlink(temporary.c_str());
    return written;
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    return std::unexpected(path + ": " + system_error_text(error));
  }
  return {};
}

std::expected<void, std::string> create_private_file(const std::string& path,
                                                     std::string_view text) {
  return create_new_file(path, text, 0600);
}

std::expected<void, std::string> create_file(const std::string& path, std::string_view text) {
  return create_new_file(path, text, 0644);
}

namespace {

const OptionSpec* find_option(std::span<const OptionSpec> specs, std::string_view name) {
  for (const OptionSpec& spec : specs) {
    if (spec.name == name) {
      return &spec;
    }
  }
  return nullptr;
}

}  // namespace

std::expected<Options, Failure> parse_options(std::span<const OptionSpec> specs,
                                              std::span<const char* const> arguments,
                                              std::size_t positional) {
  Options options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string_view argument = arguments[i];
    std::string_view name = argument.substr(0, argument.find('='));
    const OptionSpec* spec = find_option(specs, name);
    if (spec == nullptr && !argument.starts_with("--") && options[""].size() < positional) {
      options[""].emplace_back(argument);
      continue;
    }
    if (spec == nullptr) {
      return usage_error(argument.starts_with("--")
                             ? "Neznámá volba " + std::string(name) + "."
                             : "Nečekaný argument " + std::string(argument) + ".");
    }
    std::string value;
    if (spec->flag && name.size() < argument.size()) {
      return usage_error("Volba " + std::string(name) + " nemá hodnotu.");
    }
    if (spec->flag) {
      value = "";
    } else if (name.size() < argument.size()) {
      value = argument.substr(name.size() + 1);
    } else if (i + 1 < arguments.size()) {
      value = arguments[++i];
    } else {
      return usage_error("Volba " + std::string(name) + " potřebuje hodnotu.");
    }
    auto& values = options[std::string(name)];
    if (!values.empty() && !spec->repeatable) {
      return usage_error("Volba " + std::string(name) + " je uvedena dvakrát.");
    }
    values.push_back(std::move(value));
  }
  if (options[""].size() < positional) {
    return usage_error("Chybí cesta k balíčku aplikace.");
  }
  for (const OptionSpec& spec : specs) {
    if (spec.required && !options.contains(spec.name)) {
      return usage_error("Chybí volba " + std::string(spec.name) + ".");
    }
  }
  return options;
}

const std::string& single(const Options& options, std::string_view name) {
  return options.find(name)->second.front();
}

}  // namespace kelvoma::publish
