// pax_archive.cpp - trees and input archives as the tar of a zstd record.
#include "pax_archive.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string_view>

#include "errors.h"
#include "tar_lister.h"

namespace vnpack {

namespace {

int64_t clamped(int64_t mtime, const PaxOptions& options) {
  return options.mtime_limit ? std::min(mtime, *options.mtime_limit) : mtime;
}

using Resolver = std::unique_ptr<archive_entry_linkresolver, void (*)(archive_entry_linkresolver*)>;
using Entry = std::unique_ptr<archive_entry, void (*)(archive_entry*)>;

// The name of an earlier entry this file shares its inode with, if any.
// Through followed links one file may come up under more names than its
// link count, so the resolver then keeps every name (a count of 0).
std::optional<std::string> earlier_link(archive_entry_linkresolver* resolver, const TarEntry& t, bool dereference) {
  if (t.kind != EntryKind::file || t.nlink < 2) return std::nullopt;
  Entry e(archive_entry_new(), archive_entry_free);
  if (!e) throw std::bad_alloc();
  archive_entry_copy_pathname(e.get(), t.name.c_str());
  archive_entry_set_filetype(e.get(), AE_IFREG);
  archive_entry_set_dev(e.get(), t.id.first);
  archive_entry_set_ino64(e.get(), static_cast<la_int64_t>(t.id.second));
  archive_entry_set_nlink(e.get(), dereference ? 0 : t.nlink);
  archive_entry* linked = e.get();
  archive_entry* spare = nullptr;
  // The tar strategy hands back the entry it was given, marked as a link
  // when an earlier one had its inode.
  archive_entry_linkify(resolver, &linked, &spare);
  const char* target = linked != nullptr ? archive_entry_hardlink(linked) : nullptr;
  if (target == nullptr) return std::nullopt;
  return std::string(target);
}

}  // namespace

void write_pax_tree(const std::vector<TarEntry>& entries, ByteSink& out, const PaxOptions& options) {
  Resolver resolver(archive_entry_linkresolver_new(), archive_entry_linkresolver_free);
  if (!resolver) throw std::bad_alloc();
  archive_entry_linkresolver_set_strategy(resolver.get(), ARCHIVE_FORMAT_TAR_PAX_RESTRICTED);
  PaxWriter pax(out);
  for (const TarEntry& t : entries) {
    PaxEntry e;
    e.name = t.name;
    e.mode = t.mode;
    e.mtime = clamped(t.mtime, options);
    switch (t.kind) {
      case EntryKind::dir: e.type = PaxType::dir; break;
      case EntryKind::symlink:
        e.type = PaxType::symlink;
        e.target = t.link_target;
        break;
      case EntryKind::file:
        if (auto target = earlier_link(resolver.get(), t, options.dereference)) {
          e.type = PaxType::hardlink;
          e.target = *target;
        } else {
          e.size = t.size;
        }
        break;
    }
    pax.add(e);
    if (e.type == PaxType::file) copy_entry_data(t, pax, options.dereference);
  }
  pax.finish();
}

// ---------------------------------------------------------------------------
// Converting an input archive
// ---------------------------------------------------------------------------

namespace {

bool has_dot_dot(std::string_view name) {
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    if (name.substr(start, end - start) == "..") return true;
    start = end + 1;
  }
  return false;
}

const char* special_kind(mode_t type) {
  switch (type) {
    case AE_IFCHR: return "a character device";
    case AE_IFBLK: return "a block device";
    case AE_IFIFO: return "a FIFO";
    case AE_IFSOCK: return "a socket";
    default: return "of a type the installer does not create";
  }
}

class Converter {
 public:
  Converter(const std::string& path, ByteSink& out, const PaxOptions& options)
      : path_(path), pax_(out), options_(options) {}

  void take(ArchiveReader& reader, archive_entry* in);
  ConvertReport finish();

 private:
  // The name with its leading slashes removed; a refusal when it climbs.
  std::optional<std::string> inside_name(const char* raw, const std::string& shown, const char* what);
  void copy_data(ArchiveReader& reader, const PaxEntry& e);
  void refuse(const std::string& name, const std::string& why) {
    refusals_.push_back(path_ + ": entry '" + printable(name) + "': " + why);
  }

  const std::string& path_;
  PaxWriter pax_;
  const PaxOptions& options_;
  std::set<std::string> files_;  // names of the files and links so far
  std::vector<std::string> refusals_;
  ConvertReport report_;
};

std::optional<std::string> Converter::inside_name(const char* raw, const std::string& shown, const char* what) {
  std::string_view name(raw != nullptr ? raw : "");
  const size_t slashes = name.find_first_not_of('/');
  if (slashes != 0 && !name.empty()) ++report_.leading_slashes_removed;
  name.remove_prefix(std::min(slashes, name.size()));
  if (has_dot_dot(name)) {
    refuse(shown, std::string(what) + " has a \"..\" component, which the installer refuses");
    return std::nullopt;
  }
  if (name.empty()) {
    refuse(shown, std::string(what) + " is empty");
    return std::nullopt;
  }
  return std::string(name);
}

void Converter::take(ArchiveReader& reader, archive_entry* in) {
  const char* raw = archive_entry_pathname(in);
  if (raw == nullptr) raw = archive_entry_pathname_utf8(in);
  const std::string shown = raw != nullptr ? raw : "";
  auto name = inside_name(raw, shown, "its name");
  if (!name) return;
  PaxEntry e;
  e.name = *name;
  e.mode = static_cast<uint32_t>(archive_entry_perm(in));
  // A converted tar keeps the times it has to the nanosecond, as tar would
  // restore them; a clamped time has none.
  if (archive_entry_mtime_is_set(in)) {
    const auto seconds = static_cast<int64_t>(archive_entry_mtime(in));
    e.mtime = clamped(seconds, options_);
    if (!options_.mtime_limit || seconds < *options_.mtime_limit) e.mtime_nsec = archive_entry_mtime_nsec(in);
  }
  const mode_t type = archive_entry_filetype(in);
  if (const char* hard = archive_entry_hardlink(in)) {
    auto target = inside_name(hard, shown, "its hard-link target");
    if (!target) return;
    if (files_.count(*target) == 0)
      return refuse(shown, "is a hard link to '" + printable(*target) +
                               "', which is no file that comes before it in the archive");
    e.type = PaxType::hardlink;
    e.target = *target;
  } else if (type == AE_IFDIR) {
    e.type = PaxType::dir;
  } else if (type == AE_IFLNK) {
    e.type = PaxType::symlink;
    const char* target = archive_entry_symlink(in);
    e.target = target != nullptr ? target : "";
  } else if (type == AE_IFREG) {
    if (!archive_entry_size_is_set(in))
      return refuse(shown, "has no size before its data (an archive written to a pipe?); convert it to tar first");
    e.size = static_cast<uint64_t>(archive_entry_size(in));
  } else {
    return refuse(shown, std::string("is ") + special_kind(type) + "; the installer creates only files, "
                         "directories and links");
  }
  if (!refusals_.empty()) return;  // the build fails: no need to write more
  pax_.add(e);
  if (e.type != PaxType::dir) files_.insert(e.name);
  if (e.type == PaxType::file) copy_data(reader, e);
}

void Converter::copy_data(ArchiveReader& reader, const PaxEntry& e) {
  std::vector<char> buf(IO_CHUNK);
  uint64_t done = 0;
  for (;;) {
    const size_t got = reader.read(buf.data(), buf.size());
    if (got == 0) break;
    if (got > e.size - done)
      throw Failure(path_ + ": entry '" + printable(e.name) + "' holds more data than its size says");
    pax_.write(buf.data(), got);
    done += got;
  }
  if (done != e.size) throw Failure(path_ + ": entry '" + printable(e.name) + "' is cut short");
}

ConvertReport Converter::finish() {
  if (!refusals_.empty()) throw Failure(as_lines(refusals_));
  pax_.finish();
  return report_;
}

}  // namespace

ConvertReport convert_to_pax(const std::string& path, const PullSource& input, const SeekFunction& seek,
                             ByteSink& out, const PaxOptions& options) {
  Converter converter(path, out, options);
  ArchiveReader reader(input, ArchiveReader::Formats::any, seek, path + ": refused for --tar: ");
  while (archive_entry* in = reader.next()) converter.take(reader, in);
  return converter.finish();
}

}  // namespace vnpack
