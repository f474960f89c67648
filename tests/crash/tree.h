// A folder's tree in memory: folders, files and symbolic links with their
// permission bits, file contents, and hard links as shared nodes. The
// explorer loads the tree before the update, replays operations of the
// recorded trace on it, and writes a crash state out to a real folder.
#pragma once

#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "trace.h"

namespace kelvoma::crash {

enum class NodeType { file, folder, link };

struct Node {
  NodeType type = NodeType::file;
  int id = -1;
  unsigned mode = 0;
  std::string target{};                                                             // link
  std::map<std::string, int> entries{};                                             // folder
  std::shared_ptr<const std::string> base = std::make_shared<const std::string>();  // file
  std::vector<std::size_t> events{};  // file: indices of its truncates and writes since
};

// A file's contents from its base and those of its events that `counts`
// keeps (the others never happened).
std::string contents(const Node& node, const std::vector<Op>& ops,
                     const std::function<bool(std::size_t)>& counts);

class Tree {
 public:
  // Reads `folder` from disk; the folder itself is the root node.
  static std::expected<Tree, std::string> load(const std::string& folder);

  std::optional<int> find(const std::string& path) const;
  const Node* node(int inode) const;
  int next_inode() const { return next_; }

  // Applies ops[index] as the kernel would; false when it could not happen
  // (its folder or file is missing, a name is taken). Creating operations
  // use the op's inode.
  bool apply(const std::vector<Op>& ops, std::size_t index);

  // Writes the tree to `folder` (which must not exist); a file's bytes come
  // from `file_bytes`.
  std::expected<void, std::string> write_to(
      const std::string& folder, const std::function<std::string(const Node&)>& file_bytes) const;

  // Every path (relative, "" the root) with its type, mode and contents'
  // hash or link target, for comparing trees.
  std::map<std::string, std::string> listing(
      const std::function<std::string(const Node&)>& file_bytes) const;

 private:
  friend std::expected<void, std::string> annotate(std::vector<Op>& ops, Tree& tree,
                                                   unsigned umask);
  struct Place {
    int folder;
    std::string name;
  };
  std::optional<Place> place(const std::string& path) const;
  int add(Node node, int inode);
  bool rename(const Op& op);

  std::map<int, Node> nodes_{};
  std::map<std::string, int> anonymous_{};  // unnamed files by their trace name
  int next_ = 1;                            // the root is 0
};

// Replays the whole trace on `tree` (the tree before the update) and fills
// every op's inode and folders: new inodes for what it creates, the file a
// write or barrier names by its path at that moment. A create of a file that
// exists becomes a truncate (O_TRUNC) or is dropped; `umask` is applied to
// the modes of what is created. Fails when an operation of
// the real update cannot be replayed: the trace is then incomplete.
std::expected<void, std::string> annotate(std::vector<Op>& ops, Tree& tree, unsigned umask);

}  // namespace kelvoma::crash
