#include "tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace kelvoma::crash {
namespace {

std::string error_text(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

std::string read_whole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

bool write_whole(const std::string& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote <= 0) break;
    done += static_cast<std::size_t>(wrote);
  }
  return ::close(fd) == 0 && done == bytes.size();
}

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* listing = ::opendir(folder.c_str())) {
    while (const dirent* entry = ::readdir(listing)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(listing);
  }
  return names;
}

std::string child(const std::string& path, const std::string& name) {
  return path.empty() ? name : path + "/" + name;
}

}  // namespace

std::string contents(const Node& node, const std::vector<Op>& ops,
                     const std::function<bool(std::size_t)>& counts) {
  std::string bytes = *node.base;
  for (const std::size_t index : node.events) {
    if (!counts(index)) continue;
    const Op& op = ops[index];
    if (op.kind == OpKind::truncate) {
      bytes.resize(op.offset);
    } else {
      if (bytes.size() < op.offset + op.data.size()) bytes.resize(op.offset + op.data.size());
      bytes.replace(op.offset, op.data.size(), op.data);
    }
  }
  return bytes;
}

std::expected<Tree, std::string> Tree::load(const std::string& folder) {
  Tree tree;
  struct Pending {
    std::string path;
    int inode;
  };
  std::map<std::pair<dev_t, ino_t>, int> seen;  // hard links share a node
  std::vector<Pending> pending = {{folder, 0}};
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0) return std::unexpected(error_text("lstat", folder));
  tree.nodes_[0] = Node{.type = NodeType::folder, .mode = info.st_mode & 07777u};
  while (!pending.empty()) {
    const Pending current = pending.back();
    pending.pop_back();
    for (const std::string& name : names_in(current.path)) {
      const std::string path = current.path + "/" + name;
      if (::lstat(path.c_str(), &info) != 0) return std::unexpected(error_text("lstat", path));
      const auto key = std::make_pair(info.st_dev, info.st_ino);
      if (const auto known = seen.find(key); known != seen.end()) {
        tree.nodes_[current.inode].entries[name] = known->second;
        continue;
      }
      Node node{.mode = info.st_mode & 07777u};
      if (S_ISDIR(info.st_mode)) {
        node.type = NodeType::folder;
      } else if (S_ISLNK(info.st_mode)) {
        node.type = NodeType::link;
        std::string target(static_cast<std::size_t>(info.st_size) + 1, '\0');
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        target.resize(length < 0 ? 0 : static_cast<std::size_t>(length));
        node.target = std::move(target);
      } else if (S_ISREG(info.st_mode)) {
        node.base = std::make_shared<const std::string>(read_whole(path));
      } else {
        return std::unexpected("neither file, folder nor link: " + path);
      }
      const int inode = tree.add(std::move(node), tree.next_++);
      seen[key] = inode;
      tree.nodes_[current.inode].entries[name] = inode;
      if (S_ISDIR(info.st_mode)) pending.push_back({path, inode});
    }
  }
  return tree;
}

int Tree::add(Node node, int inode) {
  node.id = inode;
  nodes_[inode] = std::move(node);
  return inode;
}

const Node* Tree::node(int inode) const {
  const auto found = nodes_.find(inode);
  return found == nodes_.end() ? nullptr : &found->second;
}

std::optional<Tree::Place> Tree::place(const std::string& path) const {
  if (path.empty()) return std::nullopt;
  const auto slash = path.rfind('/');
  const auto folder =
      slash == std::string::npos ? std::optional<int>(0) : find(path.substr(0, slash));
  if (!folder || node(*folder)->type != NodeType::folder) return std::nullopt;
  return Place{*folder, slash == std::string::npos ? path : path.substr(slash + 1)};
}

std::optional<int> Tree::find(const std::string& path) const {
  if (const auto unnamed = anonymous_.find(path); unnamed != anonymous_.end()) {
    return unnamed->second;
  }
  int current = 0;
  std::size_t start = 0;
  while (start < path.size()) {
    const auto end = std::min(path.find('/', start), path.size());
    const Node* folder = node(current);
    if (folder == nullptr || folder->type != NodeType::folder) return std::nullopt;
    const auto entry = folder->entries.find(path.substr(start, end - start));
    if (entry == folder->entries.end()) return std::nullopt;
    current = entry->second;
    start = end + 1;
  }
  return current;
}

bool Tree::rename(const Op& op) {
  const auto from = place(op.path);
  const auto to = place(op.path2);
  if (!from || !to) return false;
  auto& from_entries = nodes_[from->folder].entries;
  const auto moving = from_entries.find(from->name);
  if (moving == from_entries.end()) return false;
  const int inode = moving->second;
  auto& to_entries = nodes_[to->folder].entries;
  if (const auto taken = to_entries.find(to->name); taken != to_entries.end()) {
    if (taken->second == inode) return true;
    const Node& there = nodes_[taken->second];
    const bool moving_folder = nodes_[inode].type == NodeType::folder;
    if (op.no_replace || (there.type == NodeType::folder) != moving_folder ||
        (moving_folder && !there.entries.empty())) {
      return false;
    }
  }
  from_entries.erase(moving);
  nodes_[to->folder].entries[to->name] = inode;
  return true;
}

bool Tree::apply(const std::vector<Op>& ops, std::size_t index) {
  const Op& op = ops[index];
  const auto creates = [&](const std::string& path, Node made) {
    const auto at = place(path);
    if (!at || nodes_[at->folder].entries.contains(at->name)) return false;
    nodes_[at->folder].entries[at->name] = add(std::move(made), op.inode);
    return true;
  };
  const auto removes = [&](bool folder) {
    const auto at = place(op.path);
    if (!at) return false;
    auto& entries = nodes_[at->folder].entries;
    const auto entry = entries.find(at->name);
    if (entry == entries.end()) return false;
    const Node& gone = nodes_[entry->second];
    if ((gone.type == NodeType::folder) != folder || !gone.entries.empty()) return false;
    entries.erase(entry);
    return true;
  };
  Node* subject = op.inode >= 0 && nodes_.contains(op.inode) ? &nodes_[op.inode] : nullptr;
  switch (op.kind) {
    case OpKind::create:
      return creates(op.path, Node{.mode = op.mode});
    case OpKind::anonymous:
      add(Node{.mode = op.mode}, op.inode);
      anonymous_[op.path] = op.inode;
      return true;
    case OpKind::mkdir:
      return creates(op.path, Node{.type = NodeType::folder, .mode = op.mode});
    case OpKind::symlink:
      return creates(op.path, Node{.type = NodeType::link, .mode = 0777, .target = op.text});
    case OpKind::link: {
      const auto at = place(op.path2);
      if (subject == nullptr || !at || nodes_[at->folder].entries.contains(at->name)) return false;
      nodes_[at->folder].entries[at->name] = op.inode;
      return true;
    }
    case OpKind::rename:
      return rename(op);
    case OpKind::unlink:
      return removes(false);
    case OpKind::rmdir:
      return removes(true);
    case OpKind::chmod:
      if (subject == nullptr) return false;
      subject->mode = op.mode & 07777u;
      return true;
    case OpKind::truncate:
    case OpKind::write:
      if (subject == nullptr || subject->type != NodeType::file) return false;
      subject->events.push_back(index);
      return true;
    default:
      return true;
  }
}

std::expected<void, std::string> Tree::write_to(
    const std::string& folder, const std::function<std::string(const Node&)>& file_bytes) const {
  std::map<int, std::string> written;  // files already out, for hard links
  std::function<std::expected<void, std::string>(int, const std::string&)> out =
      [&](int inode, const std::string& path) -> std::expected<void, std::string> {
    const Node& here = nodes_.at(inode);
    if (::mkdir(path.c_str(), 0700) != 0) return std::unexpected(error_text("mkdir", path));
    for (const auto& [name, entry] : here.entries) {
      const Node& item = nodes_.at(entry);
      const std::string item_path = path + "/" + name;
      bool done = true;
      if (item.type == NodeType::folder) {
        if (auto inner = out(entry, item_path); !inner) return inner;
      } else if (item.type == NodeType::link) {
        done = ::symlink(item.target.c_str(), item_path.c_str()) == 0;
      } else if (const auto first = written.find(entry); first != written.end()) {
        done = ::link(first->second.c_str(), item_path.c_str()) == 0;
      } else {
        done =
            write_whole(item_path, file_bytes(item)) && ::chmod(item_path.c_str(), item.mode) == 0;
        written[entry] = item_path;
      }
      if (!done) return std::unexpected(error_text("cannot write", item_path));
    }
    if (::chmod(path.c_str(), here.mode) != 0) return std::unexpected(error_text("chmod", path));
    return {};
  };
  return out(0, folder);
}

std::map<std::string, std::string> Tree::listing(
    const std::function<std::string(const Node&)>& file_bytes) const {
  std::map<std::string, std::string> items;
  std::function<void(int, const std::string&)> walk = [&](int inode, const std::string& path) {
    const Node& here = nodes_.at(inode);
    std::ostringstream text;
    text << std::oct << here.mode << std::dec;
    if (here.type == NodeType::folder) {
      items[path] = "folder " + text.str();
      for (const auto& [name, entry] : here.entries) walk(entry, child(path, name));
    } else if (here.type == NodeType::link) {
      items[path] = "link -> " + here.target;
    } else {
      const std::string bytes = file_bytes(here);
      text << " " << bytes.size() << " bytes, hash " << std::hex << std::hash<std::string>{}(bytes);
      items[path] = "file " + text.str();
    }
  };
  walk(0, "");
  return items;
}

std::expected<void, std::string> annotate(std::vector<Op>& ops, Tree& tree, unsigned umask) {
  std::vector<Op> kept;
  for (Op& op : ops) {
    const auto parent_of = [&](const std::string& path) {
      const auto at = tree.place(path);
      return at ? at->folder : -1;
    };
    const auto existing = tree.find(op.path);
    switch (op.kind) {
      case OpKind::create:
        if (existing) {
          if (!op.truncates) continue;
          op = Op{.kind = OpKind::truncate, .path = op.path};
        } else {
          op.mode &= ~umask;
        }
        break;
      case OpKind::anonymous:
      case OpKind::mkdir:
        op.mode &= ~umask;
        break;
      default:
        break;
    }
    switch (op.kind) {
      case OpKind::anonymous:
        op.inode = tree.next_++;
        break;
      case OpKind::create:
      case OpKind::mkdir:
      case OpKind::symlink:
        op.inode = tree.next_++;
        op.folders = {parent_of(op.path)};
        break;
      case OpKind::link:
        op.folders = {parent_of(op.path2)};
        op.inode = existing.value_or(-1);
        break;
      case OpKind::rename:
        op.folders = {parent_of(op.path), parent_of(op.path2)};
        op.inode = existing.value_or(-1);
        break;
      case OpKind::unlink:
      case OpKind::rmdir:
        op.folders = {parent_of(op.path)};
        op.inode = existing.value_or(-1);
        break;
      default:
        op.inode = existing.value_or(-1);
        break;
    }
    kept.push_back(std::move(op));
    if (!tree.apply(kept, kept.size() - 1)) {
      return std::unexpected("the trace cannot be replayed at operation " +
                             std::to_string(kept.size() - 1) + ": " + describe(kept.back()));
    }
  }
  ops = std::move(kept);
  return {};
}

}  // namespace kelvoma::crash
