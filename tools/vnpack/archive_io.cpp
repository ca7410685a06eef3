// archive_io.cpp - the libarchive reader and pax writer.
#include "archive_io.h"

#include <archive.h>
#include <archive_entry.h>

#include <ctime>

#include "errors.h"

namespace vnpack {

namespace {

std::string error_text(struct archive* a) {
  const char* text = archive_error_string(a);
  return text != nullptr ? text : "unknown libarchive error";
}

// After damage the reader is in its fatal state, where freeing it skips the
// close that releases its input stages: close first.
void close_and_free(struct archive* a) {
  archive_read_close(a);
  archive_read_free(a);
}

}  // namespace

// libarchive calls these; an exception must not cross its C frames, so it
// is kept and thrown again once libarchive has returned.
struct ArchiveCallbacks {
  static la_ssize_t write(struct archive*, void* self, const void* data, size_t n);
  static la_ssize_t read(struct archive*, void* self, const void** buf);
  static la_int64_t seek(struct archive*, void* self, la_int64_t offset, int whence);
};

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

PaxWriter::PaxWriter(ByteSink& out) : archive_(archive_write_new()), entry_(archive_entry_new()), out_(out) {
  if (archive_ == nullptr || entry_ == nullptr) {
    archive_write_free(archive_);
    archive_entry_free(entry_);
    throw std::bad_alloc();
  }
  // No blocking: every header and data piece goes straight on to the
  // compressor, and the archive ends with its two zero blocks. The pax
  // format writes an extended header only where a ustar header cannot say
  // it all: a long name or link target, or a time with a fraction of a
  // second (which the restricted form would drop).
  if (archive_write_set_format_pax(archive_) != ARCHIVE_OK ||
      archive_write_add_filter_none(archive_) != ARCHIVE_OK ||
      archive_write_set_bytes_per_block(archive_, 0) != ARCHIVE_OK ||
      archive_write_open2(archive_, this, nullptr, ArchiveCallbacks::write, nullptr, nullptr) != ARCHIVE_OK) {
    std::string why = error_text(archive_);
    archive_write_free(archive_);
    archive_entry_free(entry_);
    throw Failure("cannot start the tar writer: " + why);
  }
}

PaxWriter::~PaxWriter() {
  // After a failure nothing more reaches the sink: the closing blocks that
  // freeing writes are dropped (a writer marked failed instead would not
  // release all it holds).
  discarding_ = !finished_;
  archive_write_free(archive_);
  archive_entry_free(entry_);
}

la_ssize_t ArchiveCallbacks::write(struct archive*, void* self, const void* data, size_t n) {
  auto* writer = static_cast<PaxWriter*>(self);
  if (writer->discarding_) return static_cast<la_ssize_t>(n);
  try {
    writer->out_.write(data, n);
  } catch (...) {
    writer->sink_error_ = std::current_exception();
    return -1;
  }
  return static_cast<la_ssize_t>(n);
}

void PaxWriter::fail(const std::string& what) {
  if (sink_error_) std::rethrow_exception(sink_error_);
  throw Failure(what + ": " + error_text(archive_));
}

void PaxWriter::add(const PaxEntry& entry) {
  archive_entry_clear(entry_);
  archive_entry_copy_pathname(entry_, entry.name.c_str());
  archive_entry_set_perm(entry_, static_cast<mode_t>(entry.mode));
  archive_entry_set_mtime(entry_, static_cast<time_t>(entry.mtime), entry.mtime_nsec);
  archive_entry_set_uid(entry_, 0);
  archive_entry_set_gid(entry_, 0);
  archive_entry_set_size(entry_, 0);
  switch (entry.type) {
    case PaxType::file:
      archive_entry_set_filetype(entry_, AE_IFREG);
      archive_entry_set_size(entry_, static_cast<la_int64_t>(entry.size));
      break;
    case PaxType::dir: archive_entry_set_filetype(entry_, AE_IFDIR); break;
    case PaxType::symlink:
      archive_entry_set_filetype(entry_, AE_IFLNK);
      archive_entry_copy_symlink(entry_, entry.target.c_str());
      break;
    case PaxType::hardlink:
      archive_entry_set_filetype(entry_, AE_IFREG);
      archive_entry_copy_hardlink(entry_, entry.target.c_str());
      break;
  }
  if (archive_write_header(archive_, entry_) < ARCHIVE_WARN) fail("cannot write the tar header of " + entry.name);
}

void PaxWriter::write(const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    la_ssize_t done = archive_write_data(archive_, p, n);
    if (done <= 0) fail("cannot write tar data");
    p += done;
    n -= static_cast<size_t>(done);
  }
}

void PaxWriter::finish() {
  if (finished_) return;
  if (archive_write_close(archive_) != ARCHIVE_OK) fail("cannot end the tar archive");
  finished_ = true;
}

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------

ArchiveReader::ArchiveReader(PullSource source, Formats formats, SeekFunction seek, std::string context)
    : archive_(archive_read_new()),
      source_(std::move(source)),
      seek_(std::move(seek)),
      context_(std::move(context)),
      buf_(IO_CHUNK) {
  if (archive_ == nullptr) throw std::bad_alloc();
  if (formats == Formats::tar) {
    archive_read_support_format_tar(archive_);
  } else {
    archive_read_support_filter_all(archive_);
    // Every archive format libarchive reads, but not mtree: an mtree text
    // names files on this machine that the reader would then take in.
    for (auto support : {archive_read_support_format_7zip, archive_read_support_format_ar,
                         archive_read_support_format_cab, archive_read_support_format_cpio,
                         archive_read_support_format_empty, archive_read_support_format_iso9660,
                         archive_read_support_format_lha, archive_read_support_format_rar,
                         archive_read_support_format_rar5, archive_read_support_format_tar,
                         archive_read_support_format_warc, archive_read_support_format_xar,
                         archive_read_support_format_zip})
      support(archive_);
  }
  if (seek_) archive_read_set_seek_callback(archive_, ArchiveCallbacks::seek);
  archive_read_set_read_callback(archive_, ArchiveCallbacks::read);
  archive_read_set_callback_data(archive_, this);
  if (archive_read_open1(archive_) != ARCHIVE_OK) {
    try {
      fail();
    } catch (...) {
      close_and_free(archive_);  // the destructor does not run
      throw;
    }
  }
}

ArchiveReader::~ArchiveReader() { close_and_free(archive_); }

la_ssize_t ArchiveCallbacks::read(struct archive*, void* self, const void** buf) {
  auto* reader = static_cast<ArchiveReader*>(self);
  try {
    *buf = reader->buf_.data();
    return static_cast<la_ssize_t>(reader->source_(reader->buf_.data(), reader->buf_.size()));
  } catch (...) {
    reader->source_error_ = std::current_exception();
    return -1;
  }
}

la_int64_t ArchiveCallbacks::seek(struct archive*, void* self, la_int64_t offset, int whence) {
  auto* reader = static_cast<ArchiveReader*>(self);
  int64_t at = reader->seek_(offset, whence);
  return at < 0 ? ARCHIVE_FATAL : at;
}

void ArchiveReader::fail() {
  if (source_error_) std::rethrow_exception(source_error_);
  throw Failure(context_ + error_text(archive_));
}

struct archive_entry* ArchiveReader::next() {
  struct archive_entry* entry = nullptr;
  int r = archive_read_next_header(archive_, &entry);
  if (r == ARCHIVE_EOF) return nullptr;
  // A warning (a name in another character set, say) keeps the entry.
  if (r != ARCHIVE_OK && r != ARCHIVE_WARN) fail();
  return entry;
}

size_t ArchiveReader::read(void* buf, size_t n) {
  la_ssize_t got = archive_read_data(archive_, buf, n);
  if (got < 0) fail();
  return static_cast<size_t>(got);
}

}  // namespace vnpack
