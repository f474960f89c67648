#include "trace.h"

#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>

namespace kelvoma::crash {
namespace {

// One finished call: its name, its arguments as strace printed them, and
// what it returned (with the file of a returned descriptor).
struct Call {
  std::string name{};
  std::vector<std::string> args{};
  long long result = -1;
  std::string result_path{};
};

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// strace's escapes: \xHH everywhere under -xx, a few letters and octal
// otherwise.
std::string unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out += text[i];
      continue;
    }
    const char next = text[++i];
    if (next == 'x' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0) {
      out += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
      i += 2;
    } else if (next >= '0' && next <= '7') {
      int value = 0;
      int digits = 0;
      for (; digits < 3 && i < text.size() && text[i] >= '0' && text[i] <= '7'; ++digits) {
        value = value * 8 + (text[i++] - '0');
      }
      --i;
      out += static_cast<char>(value);
    } else {
      static const std::map<char, char> letters = {
          {'n', '\n'}, {'t', '\t'}, {'r', '\r'}, {'v', '\v'}, {'f', '\f'}};
      const auto found = letters.find(next);
      out += found != letters.end() ? found->second : next;
    }
  }
  return out;
}

// The text between the first '<' and the next '<' or '>': the file of a
// descriptor as -y shows it.
std::optional<std::string> annotation(std::string_view arg) {
  const auto open = arg.find('<');
  if (open == std::string_view::npos) return std::nullopt;
  const auto close = arg.find_first_of("<>", open + 1);
  if (close == std::string_view::npos) return std::nullopt;
  return unescape(arg.substr(open + 1, close - open - 1));
}

// A quoted argument's text; nullopt when strace cut it short ("...").
std::optional<std::string> quoted(std::string_view arg) {
  if (arg.size() < 2 || arg.front() != '"') return std::nullopt;
  const auto close = arg.rfind('"');
  if (close == 0 || arg.substr(close + 1).starts_with("...")) return std::nullopt;
  return unescape(arg.substr(1, close - 1));
}

long long number(std::string_view arg) {
  return std::strtoll(std::string(arg).c_str(), nullptr, 0);
}

bool has_flag(std::string_view arg, std::string_view flag) {
  std::size_t at = 0;
  while ((at = arg.find(flag, at)) != std::string_view::npos) {
    const std::size_t end = at + flag.size();
    if ((at == 0 || arg[at - 1] == '|') && (end == arg.size() || arg[end] == '|')) return true;
    at = end;
  }
  return false;
}

// Splits "a, b, {c, d}, "e"" at the commas of the top level.
std::vector<std::string> split_arguments(std::string_view text) {
  std::vector<std::string> args;
  int depth = 0;
  bool in_quotes = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_quotes) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        in_quotes = false;
      continue;
    }
    if (c == '"')
      in_quotes = true;
    else if (c == '(' || c == '[' || c == '{' || c == '<')
      ++depth;
    else if (c == ')' || c == ']' || c == '}' || c == '>')
      --depth;
    else if (c == ',' && depth == 0) {
      args.emplace_back(text.substr(start, i - start));
      start = i + 2;
    }
  }
  if (start < text.size()) args.emplace_back(text.substr(start));
  return args;
}

// "name(args) = result" into a Call; nullopt for anything else.
std::optional<Call> parse_call(std::string_view text) {
  const auto open = text.find('(');
  if (open == std::string_view::npos || open == 0) return std::nullopt;
  int depth = 0;
  bool in_quotes = false;
  std::size_t close = std::string_view::npos;
  for (std::size_t i = open; i < text.size() && close == std::string_view::npos; ++i) {
    const char c = text[i];
    if (in_quotes) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        in_quotes = false;
    } else if (c == '"') {
      in_quotes = true;
    } else if (c == '(') {
      ++depth;
    } else if (c == ')' && --depth == 0) {
      close = i;
    }
  }
  const auto equals = text.find(" = ", close == std::string_view::npos ? text.size() : close);
  if (close == std::string_view::npos || equals == std::string_view::npos) return std::nullopt;
  Call call{.name = std::string(text.substr(0, open)),
            .args = split_arguments(text.substr(open + 1, close - open - 1))};
  const std::string_view result = text.substr(equals + 3);
  if (result.starts_with("?")) return std::nullopt;
  call.result = number(result);
  if (const auto path = annotation(result); path && call.result >= 0) call.result_path = *path;
  return call;
}

class TraceReader {
 public:
  explicit TraceReader(const std::string& root) : root_(root) {}

  std::expected<void, std::string> take(const Call& call);
  std::vector<Op>& ops() { return ops_; }

 private:
  // Below the root: the relative path, "" for the root itself.
  std::optional<std::string> below(const std::string& path) const {
    if (path == root_) return std::string();
    if (path.size() > root_.size() && path.starts_with(root_) && path[root_.size()] == '/') {
      return path.substr(root_.size() + 1);
    }
    return std::nullopt;
  }
  // The path an (at-)call names: absolute, or relative to the folder
  // descriptor `dir`.
  static std::string joined(const std::string& dir_arg, const std::string& name) {
    if (name.starts_with('/')) return name;
    const auto folder = annotation(dir_arg).value_or("");
    return name.empty() ? folder : folder + "/" + name;
  }
  std::expected<void, std::string> add(Op op, const std::string& path,
                                       const std::string& path2 = {});
  std::expected<void, std::string> take_open(const Call& call, const std::string& flags,
                                             long long mode);
  std::expected<void, std::string> take_write(const Call& call, std::optional<std::uint64_t> at);
  std::expected<void, std::string> take_link(const Call& call);

  std::string root_{};
  std::vector<Op> ops_{};
  std::map<std::string, std::uint64_t> positions_{};  // descriptor + file: its offset
  std::map<long long, std::string> descriptors_{};    // for links by /proc/self/fd/N
  // Unnamed files by strace's name (their inode number) -> "#1", "#2", ... in
  // the order they were opened, so that a trace reads the same every run.
  // (An inode number may come again for a later file, which gets its own.)
  std::map<std::string, std::string> unnamed_{};
  std::size_t unnamed_count_ = 0;
};

std::expected<void, std::string> TraceReader::add(Op op, const std::string& path,
                                                  const std::string& path2) {
  const auto named = [&](const std::string& raw) {
    const auto found = unnamed_.find(raw);
    return found == unnamed_.end() ? raw : found->second;
  };
  const auto first = below(named(path));
  const auto second = path2.empty() ? std::optional<std::string>() : below(named(path2));
  if (!first && !second) return {};
  if (!first || (!path2.empty() && !second)) {
    return std::unexpected("a call crosses the root: " + path + " " + path2);
  }
  op.path = *first;
  op.path2 = second.value_or("");
  ops_.push_back(std::move(op));
  return {};
}

std::expected<void, std::string> TraceReader::take_open(const Call& call, const std::string& flags,
                                                        long long mode) {
  const std::string key = std::to_string(call.result) + "|" + call.result_path;
  positions_[key] = 0;
  descriptors_[call.result] = call.result_path;
  const bool writes = has_flag(flags, "O_WRONLY") || has_flag(flags, "O_RDWR");
  if (writes && has_flag(flags, "O_APPEND") && below(call.result_path)) {
    return std::unexpected("O_APPEND below the root is not modelled: " + call.result_path);
  }
  Op op{.mode = static_cast<unsigned>(mode)};
  if (has_flag(flags, "O_TMPFILE")) {
    op.kind = OpKind::anonymous;
    const std::size_t folder_end = call.result_path.rfind('/') + 1;
    unnamed_[call.result_path] =
        call.result_path.substr(0, folder_end) + "#" + std::to_string(++unnamed_count_);
  } else if (has_flag(flags, "O_CREAT")) {
    op.kind = OpKind::create;
    op.truncates = has_flag(flags, "O_TRUNC");
  } else if (writes && has_flag(flags, "O_TRUNC")) {
    op.kind = OpKind::truncate;
  } else {
    return {};
  }
  return add(std::move(op), call.result_path);
}

std::expected<void, std::string> TraceReader::take_write(const Call& call,
                                                         std::optional<std::uint64_t> at) {
  const auto file = annotation(call.args.at(0));
  if (!file || !below(*file)) return {};
  auto data = quoted(call.args.at(1));
  if (!data || data->size() < static_cast<std::size_t>(call.result)) {
    return std::unexpected("a write below the root was cut short in the log (raise -s)");
  }
  data->resize(static_cast<std::size_t>(call.result));
  const std::string key = std::to_string(number(call.args[0])) + "|" + *file;
  std::uint64_t& position = positions_[key];
  Op op{.kind = OpKind::write, .data = std::move(*data), .offset = at.value_or(position)};
  if (!at) position += op.data.size();
  return add(std::move(op), *file);
}

// link(from, to) and linkat(dir, from, dir, to, flags), also of an unnamed
// file by its descriptor (AT_EMPTY_PATH) or its /proc/self/fd entry.
std::expected<void, std::string> TraceReader::take_link(const Call& call) {
  const bool at = call.name == "linkat";
  const std::string from_name = quoted(call.args.at(at ? 1 : 0)).value_or("");
  const std::string to_name = quoted(call.args.at(at ? 3 : 1)).value_or("");
  std::string from = at ? joined(call.args[0], from_name) : from_name;
  if (from_name.starts_with("/proc/self/fd/")) {
    from = descriptors_[number(from_name.substr(14))];
  }
  return add(Op{.kind = OpKind::link}, from, at ? joined(call.args[2], to_name) : to_name);
}

std::expected<void, std::string> TraceReader::take(const Call& call) {
  const auto& a = call.args;
  const auto path_of = [&](std::size_t i) { return quoted(a.at(i)).value_or(""); };
  const auto fd_path = [&](std::size_t i) { return annotation(a.at(i)).value_or(""); };
  const auto mode_of = [&](std::size_t i) { return static_cast<unsigned>(number(a.at(i))); };
  const std::string& n = call.name;
  const auto optional_mode = [&](std::size_t i) { return i < a.size() ? number(a[i]) : 0; };
  if (n == "openat") return take_open(call, a.at(2), optional_mode(3));
  if (n == "open") return take_open(call, a.at(1), optional_mode(2));
  if (n == "openat2") {
    // {flags=..., mode=..., resolve=...}
    const auto field = [&](std::string_view name) {
      const std::string& how = a.at(2);
      const auto at = how.find(name);
      if (at == std::string::npos) return std::string();
      const auto start = at + name.size();
      return how.substr(start, how.find_first_of(",}", start) - start);
    };
    return take_open(call, field("flags="), number(field("mode=")));
  }
  if (n == "creat") {
    return add(Op{.kind = OpKind::create, .mode = mode_of(1), .truncates = true}, call.result_path);
  }
  if (n == "write") return take_write(call, std::nullopt);
  if (n == "pwrite64") return take_write(call, static_cast<std::uint64_t>(number(a.at(3))));
  if (n == "lseek") {
    positions_[std::to_string(number(a.at(0))) + "|" + fd_path(0)] =
        static_cast<std::uint64_t>(call.result);
    return {};
  }
  if (n == "ftruncate") {
    return add(Op{.kind = OpKind::truncate, .offset = static_cast<std::uint64_t>(number(a.at(1)))},
               fd_path(0));
  }
  if (n == "truncate") {
    return add(Op{.kind = OpKind::truncate, .offset = static_cast<std::uint64_t>(number(a.at(1)))},
               path_of(0));
  }
  if (n == "fchmod") return add(Op{.kind = OpKind::chmod, .mode = mode_of(1)}, fd_path(0));
  if (n == "chmod") return add(Op{.kind = OpKind::chmod, .mode = mode_of(1)}, path_of(0));
  if (n == "fchmodat") {
    return add(Op{.kind = OpKind::chmod, .mode = mode_of(2)}, joined(a.at(0), path_of(1)));
  }
  if (n == "mkdir") return add(Op{.kind = OpKind::mkdir, .mode = mode_of(1)}, path_of(0));
  if (n == "mkdirat") {
    return add(Op{.kind = OpKind::mkdir, .mode = mode_of(2)}, joined(a.at(0), path_of(1)));
  }
  if (n == "symlink") return add(Op{.kind = OpKind::symlink, .text = path_of(0)}, path_of(1));
  if (n == "symlinkat") {
    return add(Op{.kind = OpKind::symlink, .text = path_of(0)}, joined(a.at(1), path_of(2)));
  }
  if (n == "link" || n == "linkat") return take_link(call);
  if (n == "rename") return add(Op{.kind = OpKind::rename}, path_of(0), path_of(1));
  if (n == "renameat" || n == "renameat2") {
    const bool no_replace = n == "renameat2" && has_flag(a.at(4), "RENAME_NOREPLACE");
    if (n == "renameat2" && has_flag(a.at(4), "RENAME_EXCHANGE")) {
      return std::unexpected("RENAME_EXCHANGE is not modelled");
    }
    return add(Op{.kind = OpKind::rename, .no_replace = no_replace}, joined(a.at(0), path_of(1)),
               joined(a.at(2), path_of(3)));
  }
  if (n == "unlink") return add(Op{.kind = OpKind::unlink}, path_of(0));
  if (n == "rmdir") return add(Op{.kind = OpKind::rmdir}, path_of(0));
  if (n == "unlinkat") {
    const auto kind = has_flag(a.at(2), "AT_REMOVEDIR") ? OpKind::rmdir : OpKind::unlink;
    return add(Op{.kind = kind}, joined(a.at(0), path_of(1)));
  }
  if (n == "fsync") return add(Op{.kind = OpKind::fsync}, fd_path(0));
  if (n == "fdatasync") return add(Op{.kind = OpKind::fdatasync}, fd_path(0));
  // syncfs flushes the whole file system, wherever its descriptor points.
  if (n == "syncfs") return add(Op{.kind = OpKind::syncfs}, root_);
  if (n == "sync") return add(Op{.kind = OpKind::sync}, root_);
  for (const std::string& arg : a) {
    if (const auto file = annotation(arg); file && below(*file)) {
      return std::unexpected(n + " below the root is not modelled: " + *file);
    }
  }
  return {};
}

}  // namespace

bool is_metadata(OpKind kind) { return kind < OpKind::write; }

bool is_barrier(OpKind kind) { return kind > OpKind::write; }

std::string_view traced_calls() {
  return "open,openat,openat2,creat,write,pwrite64,writev,pwritev,pwritev2,lseek,ftruncate,"
         "truncate,"
         "fallocate,copy_file_range,sendfile,fchmod,chmod,fchmodat,mkdir,mkdirat,symlink,"
         "symlinkat,link,linkat,rename,renameat,renameat2,unlink,unlinkat,rmdir,fsync,"
         "fdatasync,syncfs,sync";
}

std::string describe(const Op& op) {
  static const char* const names[] = {"create", "anonymous", "mkdir",     "symlink", "link",
                                      "rename", "unlink",    "rmdir",     "chmod",   "truncate",
                                      "write",  "fsync",     "fdatasync", "syncfs",  "sync"};
  std::ostringstream text;
  text << names[static_cast<int>(op.kind)] << " \"" << op.path << "\"";
  if (!op.path2.empty()) text << " -> \"" << op.path2 << "\"";
  if (op.kind == OpKind::write) text << " " << op.data.size() << " bytes at " << op.offset;
  return text.str();
}

std::expected<std::vector<Op>, std::string> read_trace(std::string_view log,
                                                       const std::string& root) {
  TraceReader reader(root);
  std::map<std::string, std::string> unfinished;  // by process
  std::istringstream lines{std::string(log)};
  for (std::string line; std::getline(lines, line);) {
    const auto space = line.find(' ');
    if (space == std::string::npos) continue;
    const std::string pid = line.substr(0, space);
    std::string text = line.substr(line.find_first_not_of(' ', space));
    if (text.starts_with("<... ")) {
      const auto resumed = text.find("resumed>");
      if (resumed == std::string::npos) continue;
      text = unfinished[pid] + text.substr(resumed + 8);
      unfinished.erase(pid);
    } else if (text.ends_with(" <unfinished ...>")) {
      unfinished[pid] = text.substr(0, text.size() - 17);
      continue;
    }
    const auto call = parse_call(text);
    if (!call || call->result < 0) continue;
    if (auto taken = reader.take(*call); !taken) return std::unexpected(taken.error());
  }
  return std::move(reader.ops());
}

}  // namespace kelvoma::crash
