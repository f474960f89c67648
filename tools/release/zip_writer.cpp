#include "release/zip_writer.h"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "install/unpack/unpack.h"
#include "support/publish_support.h"
#include "support/refusal.h"
#include "verify/manifest.h"

namespace kelvoma::publish {
namespace {

// Files up to this size are compressed by the workers into memory; larger
// ones by the writer, straight into the archive. Together with the budget
// below it bounds the memory the archive takes whatever the bundle holds.
constexpr std::uint64_t in_memory_limit = 4 << 20;
constexpr std::uint64_t pending_budget = 16 << 20;  // bytes of files read ahead
constexpr std::size_t read_block = 256 << 10;

// 1980-01-01 00:00:00 in DOS form, the first time a zip header can hold.
constexpr std::uint16_t dos_time = 0;
constexpr std::uint16_t dos_date = (1 << 5) | 1;
constexpr std::uint16_t utf8_names = 1 << 11;
constexpr std::uint16_t stored = 0;
constexpr std::uint16_t deflated = 8;

bool compressed_ahead(const BundleEntry& entry) {
  return entry.type == EntryType::file && entry.size <= in_memory_limit;
}

// What the seal sees of a mode (the owner's execute bit) decides the
// archive's: the publisher's umask must not change the bytes.
std::uint32_t archive_mode(const BundleEntry& entry) {
  switch (entry.type) {
    case EntryType::folder:
      return S_IFDIR | 0755;
    case EntryType::link:
      return S_IFLNK | 0777;
    case EntryType::file:
      break;
  }
  return S_IFREG | (entry.executable ? 0755 : 0644);
}

// One member as the central directory lists it.
struct Member {
  std::string name;
  std::uint16_t method = stored;
  std::uint32_t crc = 0;
  std::uint64_t compressed = 0;
  std::uint64_t size = 0;
  std::uint32_t mode = 0;
  std::uint64_t offset = 0;
};

// A member's data, made by a worker (or, for a large file, left to the
// writer).
struct Slot {
  std::vector<std::uint8_t> data;
  std::uint16_t method = stored;
  std::uint32_t crc = 0;
  std::string error;
  bool ready = false;
};

void put16(std::vector<std::uint8_t>& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}
void put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  put16(out, value & 0xffff);
  put16(out, value >> 16);
}
void put64(std::vector<std::uint8_t>& out, std::uint64_t value) {
  put32(out, static_cast<std::uint32_t>(value));
  put32(out, static_cast<std::uint32_t>(value >> 32));
}

std::vector<std::uint8_t> local_header(const Member& member) {
  std::vector<std::uint8_t> out;
  put32(out, 0x04034b50);
  put16(out, 20);
  put16(out, utf8_names);
  put16(out, member.method);
  put16(out, dos_time);
  put16(out, dos_date);
  put32(out, member.crc);
  put32(out, static_cast<std::uint32_t>(member.compressed));
  put32(out, static_cast<std::uint32_t>(member.size));
  put16(out, static_cast<std::uint32_t>(member.name.size()));
  put16(out, 0);
  out.insert(out.end(), member.name.begin(), member.name.end());
  return out;
}

void central_record(std::vector<std::uint8_t>& out, const Member& member) {
  put32(out, 0x02014b50);
  put16(out, (3 << 8) | 20);  // made on Unix: the modes below count
  put16(out, 20);
  put16(out, utf8_names);
  put16(out, member.method);
  put16(out, dos_time);
  put16(out, dos_date);
  put32(out, member.crc);
  put32(out, static_cast<std::uint32_t>(member.compressed));
  put32(out, static_cast<std::uint32_t>(member.size));
  put16(out, static_cast<std::uint32_t>(member.name.size()));
  put16(out, 0);  // extra
  put16(out, 0);  // comment
  put16(out, 0);  // disk
  put16(out, 0);  // internal attributes
  put32(out, (member.mode << 16) | (S_ISDIR(member.mode) ? 0x10 : 0));
  put32(out, static_cast<std::uint32_t>(member.offset));
  out.insert(out.end(), member.name.begin(), member.name.end());
}

// The end records; zip64's as well when the entries do not fit 16 bits.
void end_records(std::vector<std::uint8_t>& out, std::uint64_t entries, std::uint64_t start,
                 std::uint64_t size) {
  if (entries >= 0xffff) {
    const std::uint64_t record = start + size;
    put32(out, 0x06064b50);
    put64(out, 44);
    put16(out, (3 << 8) | 45);
    put16(out, 45);
    put32(out, 0);
    put32(out, 0);
    put64(out, entries);
    put64(out, entries);
    put64(out, size);
    put64(out, start);
    put32(out, 0x07064b50);
    put32(out, 0);
    put64(out, record);
    put32(out, 1);
  }
  const std::uint32_t count = static_cast<std::uint32_t>(std::min<std::uint64_t>(entries, 0xffff));
  put32(out, 0x06054b50);
  put16(out, 0);
  put16(out, 0);
  put16(out, count);
  put16(out, count);
  put32(out, static_cast<std::uint32_t>(size));
  put32(out, static_cast<std::uint32_t>(start));
  put16(out, 0);
}

// Raw deflate of one file, read from `fd`, handing each piece of output to
// `sink`; the CRC-32 of what was read.
template <typename Sink>
std::expected<std::uint32_t, std::string> deflate_file(int fd, std::uint64_t size,
                                                       const std::string& shown_as, Sink&& sink) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    return std::unexpected(std::string("Archiv nelze zapsat: zlib se nespustil."));
  }
  std::vector<std::uint8_t> in(read_block);
  std::vector<std::uint8_t> out(deflateBound(&stream, read_block));
  std::uint32_t crc = crc32(0, nullptr, 0);
  std::uint64_t seen = 0;
  std::expected<std::uint32_t, std::string> result;
  for (bool finish = false; !finish;) {
    const ssize_t got = ::read(fd, in.data(), in.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      result = std::unexpected(system_failure_text(shown_as, errno));
      break;
    }
    seen += static_cast<std::uint64_t>(got);
    finish = got == 0;
    crc = crc32(crc, in.data(), static_cast<uInt>(got));
    stream.next_in = in.data();
    stream.avail_in = static_cast<uInt>(got);
    do {
      stream.next_out = out.data();
      stream.avail_out = static_cast<uInt>(out.size());
      deflate(&stream, finish ? Z_FINISH : Z_NO_FLUSH);
      sink(std::span(out.data(), out.size() - stream.avail_out));
    } while (stream.avail_out == 0);
  }
  deflateEnd(&stream);
  if (result && seen != size) {
    return std::unexpected(refusal(shown_as, "změněný během čtení", "balíček, který se nemění",
                                   "Počkej, až sestavení balíčku doběhne, a spusť vydání znovu."));
  }
  return result ? std::expected<std::uint32_t, std::string>(crc) : result;
}

class ZipWriter {
 public:
  ZipWriter(const BundleTree& tree, const std::string& bundle, const std::string& top, int out_fd)
      : tree_(tree), bundle_(bundle), top_(top), out_fd_(out_fd), slots_(tree.entries.size()) {}

  std::expected<std::uint64_t, std::string> run() {
    const unsigned workers = std::clamp(std::thread::hardware_concurrency(), 1U, 8U);
    std::vector<std::jthread> threads;
    for (unsigned i = 0; i < workers; ++i) {
      threads.emplace_back([this] { work(); });
    }
    auto written = write_members();
    {
      const std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    threads.clear();
    if (!written) {
      return std::unexpected(written.error());
    }
    return finish();
  }

 private:
  bool in_memory(std::size_t index) const { return compressed_ahead(tree_.entries[index]); }

  std::uint64_t reserved(std::size_t index) const {
    return in_memory(index) ? tree_.entries[index].size : 0;
  }

  std::string shown(const BundleEntry& entry) const { return bundle_ + "/" + entry.name; }

  void work() {
    while (true) {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] {
        return stop_ || next_ >= slots_.size() ||
               (next_ == written_ || pending_ + reserved(next_) <= pending_budget);
      });
      if (stop_ || next_ >= slots_.size()) {
        return;
      }
      const std::size_t index = next_++;
      pending_ += reserved(index);
      lock.unlock();
      Slot slot;
      if (in_memory(index)) {
        compress(tree_.entries[index], slot);
      }
      lock.lock();
      slots_[index] = std::move(slot);
      slots_[index].ready = true;
      changed_.notify_all();
    }
  }

  void compress(const BundleEntry& entry, Slot& slot) {
    if (entry.size == 0) {
      slot.crc = crc32(0, nullptr, 0);
      return;
    }
    auto fd = tree_.open_file(entry, shown(entry));
    if (!fd) {
      slot.error = fd.error();
      return;
    }
    slot.data.reserve(entry.size + entry.size / 1000 + 64);
    const auto crc = deflate_file(fd->get(), entry.size, shown(entry), [&](auto piece) {
      slot.data.insert(slot.data.end(), piece.begin(), piece.end());
    });
    if (!crc) {
      slot.error = crc.error();
      return;
    }
    slot.crc = *crc;
    slot.method = deflated;
  }

  std::expected<void, std::string> write_members() {
    for (std::size_t index = 0; index < slots_.size(); ++index) {
      Slot slot;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return slots_[index].ready; });
        slot = std::move(slots_[index]);
      }
      if (!slot.error.empty()) {
        return std::unexpected(slot.error);
      }
      auto written = write_member(tree_.entries[index], slot);
      {
        const std::lock_guard lock(mutex_);
        pending_ -= reserved(index);
        written_ = index + 1;
      }
      changed_.notify_all();
      if (!written) {
        return written;
      }
      if (auto fits = check_archive_size(offset_ + buffer_.size()); !fits) {
        return fits;
      }
    }
    return {};
  }

  std::expected<void, std::string> write_member(const BundleEntry& entry, Slot& slot) {
    Member member{.name = entry.name.empty() ? top_ + "/" : top_ + "/" + entry.name,
                  .method = slot.method,
                  .crc = slot.crc,
                  .compressed = slot.data.size(),
                  .size = entry.size,
                  .mode = archive_mode(entry),
                  .offset = offset_ + buffer_.size()};
    if (entry.type == EntryType::folder && !entry.name.empty()) {
      member.name += "/";
    }
    if (entry.type == EntryType::link) {
      slot.data.assign(entry.target.begin(), entry.target.end());
      member.size = member.compressed = slot.data.size();
      member.crc = crc32(0, slot.data.data(), static_cast<uInt>(slot.data.size()));
    }
    if (entry.type == EntryType::file && !compressed_ahead(entry)) {
      return stream_member(entry, std::move(member));
    }
    if (auto written = append(local_header(member)); !written) {
      return written;
    }
    members_.push_back(std::move(member));
    return append(slot.data);
  }

  // A large file: its header first with the sizes unknown, the compressed
  // data as it comes, then the header completed in place.
  std::expected<void, std::string> stream_member(const BundleEntry& entry, Member member) {
    auto fd = tree_.open_file(entry, shown(entry));
    if (!fd) {
      return std::unexpected(fd.error());
    }
    member.method = deflated;
    if (auto written = append(local_header(member)); !written) {
      return written;
    }
    const std::uint64_t data_start = offset_ + buffer_.size();
    std::expected<void, std::string> written;
    const auto crc = deflate_file(fd->get(), entry.size, shown(entry), [&](auto piece) {
      if (written) {
        written = append(piece);
      }
    });
    if (!crc) {
      return std::unexpected(crc.error());
    }
    if (!written) {
      return written;
    }
    member.crc = *crc;
    member.compressed = offset_ + buffer_.size() - data_start;
    if (auto flushed = flush(); !flushed) {
      return flushed;
    }
    std::vector<std::uint8_t> sizes;
    put32(sizes, member.crc);
    put32(sizes, static_cast<std::uint32_t>(member.compressed));
    if (::pwrite(out_fd_, sizes.data(), sizes.size(), static_cast<off_t>(member.offset + 14)) !=
        static_cast<ssize_t>(sizes.size())) {
      return failure();
    }
    members_.push_back(std::move(member));
    return {};
  }

  std::expected<void, std::string> append(std::span<const std::uint8_t> bytes) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    return buffer_.size() >= (1 << 20) ? flush() : std::expected<void, std::string>{};
  }

  std::expected<void, std::string> flush() {
    std::size_t done = 0;
    while (done < buffer_.size()) {
      const ssize_t put = ::pwrite(out_fd_, buffer_.data() + done, buffer_.size() - done,
                                   static_cast<off_t>(offset_ + done));
      if (put < 0 && errno == EINTR) {
        continue;
      }
      if (put <= 0) {
        return failure();
      }
      done += static_cast<std::size_t>(put);
    }
    offset_ += buffer_.size();
    buffer_.clear();
    return {};
  }

  std::unexpected<std::string> failure() const {
    return std::unexpected("Archiv nelze zapsat: " + czech_system_error(errno) + ".");
  }

  std::expected<std::uint64_t, std::string> finish() {
    const std::uint64_t start = offset_ + buffer_.size();
    std::vector<std::uint8_t> directory;
    for (const Member& member : members_) {
      central_record(directory, member);
    }
    const std::uint64_t size = directory.size();
    end_records(directory, members_.size(), start, size);
    if (auto written = append(directory); !written) {
      return std::unexpected(written.error());
    }
    if (auto flushed = flush(); !flushed) {
      return std::unexpected(flushed.error());
    }
    if (auto fits = check_archive_size(offset_); !fits) {
      return std::unexpected(fits.error());
    }
    return offset_;
  }

  const BundleTree& tree_;
  const std::string& bundle_;
  const std::string& top_;
  int out_fd_;
  std::vector<Slot> slots_;
  std::vector<Member> members_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t offset_ = 0;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t next_ = 0;     // the next entry a worker takes
  std::size_t written_ = 0;  // entries in the archive so far
  std::uint64_t pending_ = 0;
  bool stop_ = false;
};

}  // namespace

std::expected<void, std::string> check_unpacked_limits(std::uint64_t entries, std::uint64_t bytes) {
  if (entries > max_archive_entries) {
    return std::unexpected(refusal("Počet položek balíčku", std::to_string(entries),
                                   "nejvýš " + std::to_string(max_archive_entries),
                                   "Instalace víc položek nerozbalí; spoj drobné soubory do "
                                   "větších (např. jeden archiv dat, který program čte sám)."));
  }
  if (bytes > max_unpacked_bytes) {
    return std::unexpected(refusal("Velikost souborů balíčku", std::to_string(bytes) + " B",
                                   "nejvýš " + std::to_string(max_unpacked_bytes) + " B (2 GiB)",
                                   "Instalace víc nerozbalí; velká data nebal a stahuj je až "
                                   "při prvním spuštění programu."));
  }
  return {};
}

std::expected<void, std::string> check_archive_size(std::uint64_t bytes) {
  if (bytes > max_archive_size) {
    return std::unexpected(refusal("Velikost archivu",
                                   "přes " + std::to_string(max_archive_size) + " B",
                                   "nejvýš " + std::to_string(max_archive_size) + " B (256 MiB)",
                                   "Instalace větší archiv nestáhne; zmenši balíček (strip "
                                   "ladicích symbolů, velká data stahuj až při prvním spuštění)."));
  }
  return {};
}

std::expected<std::uint64_t, std::string> zip_bundle(const BundleTree& tree,
                                                     const std::string& bundle,
                                                     const std::string& top, int out_fd) {
  if (auto fits = check_unpacked_limits(tree.entries.size(), tree.file_bytes); !fits) {
    return std::unexpected(fits.error());
  }
  return ZipWriter(tree, bundle, top, out_fd).run();
}

}  // namespace kelvoma::publish
