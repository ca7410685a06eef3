// package_builder.cpp - checks every input first, then streams the
// installer into a temporary file, fills in size and CRC, and renames it.
#include "package_builder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bz2_parallel.h"
#include "bz2_stream.h"
#include "errors.h"
#include "file_io.h"
#include "output_file.h"
#include "pax_archive.h"
#include "package_format.h"
#include "package_reader.h"
#include "progress.h"
#include "stub_locator.h"
#include "tar_lister.h"
#include "tar_writer.h"
#include "vnlib.h"
#include "zstd_stream.h"

namespace vnpack {

namespace {

// An item with what the checks found out about it.
struct PreparedItem {
  const BuildItem* item = nullptr;
  Fd fd;                          // raw, tar, bz2
  bool regular = false;
  uint64_t size = 0;              // of a regular input file
  std::vector<TarEntry> entries;  // archive
  std::string left_out;           // archive: the old output, not stored
  std::string unpack_warning;     // tar, bz2: entries not unpacked as meant
};

struct Preflight {
  std::string output_path;       // the output, symbolic links followed
  std::optional<FileId> output;  // the file the installer replaces, if any
  std::string stub_path;
  Fd stub_fd;
  uint64_t stub_size = 0;
  std::vector<PreparedItem> items;
  PaxOptions pax;  // how zstd archives are written
};

void check_env(const std::string& text) {
  size_t eq = text.find('=');
  if (eq == std::string::npos)
    throw Failure("--env '" + text + "': not an assignment NAME=VALUE");
  if (eq == 0) throw Failure("--env '" + text + "': the NAME before '=' is empty");
  if (text.size() + 1 > MAX_ENV_BODY)
    throw Failure("--env " + text.substr(0, eq) + ": the assignment is " + std::to_string(text.size()) +
                  " bytes long; with its terminating zero an environment record holds at most " +
                  std::to_string(MAX_ENV_BODY - 1) + " bytes of text");
}

// A symbolic link as output is written through: the file it names is
// replaced and the link stays (renaming over /dev/stdout would put a file
// in the link's place). A dangling link is replaced.
std::string follow_output_links(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  std::unique_ptr<char, decltype(&std::free)> target(::realpath(path.c_str(), nullptr), &std::free);
  return target ? std::string(target.get()) : path;
}

// The file an existing output names. The new installer is renamed over
// it, so only a regular file may be there: renamed over /dev/null, the
// installer would take that device's place. A directory is refused now
// rather than after everything is compressed.
std::optional<FileId> existing_output(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
  const FileId id{st.st_dev, st.st_ino};
  if (S_ISLNK(st.st_mode) && ::stat(path.c_str(), &st) != 0) return id;  // a dangling link
  if (S_ISDIR(st.st_mode)) throw Failure(path + ": is a directory (-o takes the installer's file name)");
  if (!S_ISREG(st.st_mode))
    throw Failure(path + ": not a regular file; the installer is written to a file of its own, which would " +
                  "take its place");
  return id;
}

// Replacing an input by the installer would lose it.
void check_not_output(const Preflight& pf, int fd, const std::string& what) {
  struct stat st {};
  if (!pf.output || ::fstat(fd, &st) != 0) return;
  if (*pf.output == FileId{st.st_dev, st.st_ino})
    throw Failure(what + ": is the output file too; the installer would replace it");
}

// Opens an input file; directories are refused, and `need_regular` refuses
// pipes and devices too (an input read twice must be a plain file).
void open_input(PreparedItem& p, bool need_regular) {
  const std::string& path = p.item->value;
  p.fd = open_for_reading(path);
  struct stat st {};
  if (::fstat(p.fd.get(), &st) != 0) fail_errno(path, "cannot get the file status");
  if (S_ISDIR(st.st_mode)) throw Failure(path + ": is a directory (" + p.item->option() + " takes a file)");
  p.regular = S_ISREG(st.st_mode);
  if (need_regular && !p.regular) throw Failure(path + ": not a regular file");
  p.size = p.regular ? static_cast<uint64_t>(st.st_size) : 0;
}

// A helper is run as a program: a file without any execute permission
// would only fail on the user's machine.
void check_executable(const PreparedItem& p) {
  struct stat st {};
  if (::fstat(p.fd.get(), &st) != 0) fail_errno(p.item->value, "cannot get the file status");
  if ((st.st_mode & 0111) == 0)
    throw Failure(p.item->value + ": not executable (--helper takes a program; chmod +x it)");
}

// Reads the tar bytes of a --tar or --bz2 item as they pass by and, at
// the end, refuses what is no whole tar archive and notes the entries the
// installer would not unpack as meant.
class TarCheck : public ByteSink {
 public:
  TarCheck() : tar_([this](const TarListEntry& e) { audit_.note(e); }) {}
  TarCheck(const TarCheck&) = delete;  // the lister calls back into this one
  TarCheck& operator=(const TarCheck&) = delete;
  void write(const void* data, size_t n) override { tar_.write(data, n); }

  // The installer unpacks whatever the headers say, checksums unchecked:
  // bytes that are no tar archive (a gzip file, a text) would become
  // garbage files.
  void finish(PreparedItem& p) const {
    if (!tar_.ended() && !tar_.lacks_end_block())
      throw Failure(p.item->value + ": refused for " + p.item->option() + ": not a whole tar archive (" +
                    tar_.problem() + ")");
    p.unpack_warning = audit_.summary();
  }

 private:
  UnpackAudit audit_;
  TarLister tar_;
};

void check_bz2(PreparedItem& p) {
  uint64_t pos = 0;
  const std::string& path = p.item->value;
  int fd = p.fd.get();
  ByteSource source = [&](char* buf, size_t n) {
    size_t got = read_at(fd, buf, n, pos, path);
    pos += got;
    return got;
  };
  TarCheck tar;
  Bz2DecodeResult r = decode_bz2(source, tar);
  if (r.status != Bz2DecodeResult::Status::complete)
    throw Failure(path + ": refused for --bz2: " + describe_bz2_problem(r));
  tar.finish(p);
}

void prepare_stub(Preflight& pf, const BuildRequest& request, const char* argv0) {
  pf.stub_path = request.stub ? *request.stub : default_stub_path(argv0);
  try {
    pf.stub_fd = open_for_reading(pf.stub_path);
  } catch (const Failure& e) {
    if (request.stub) throw;
    throw Failure(std::string(e.what()) + " (the default installer program; give another with --stub FILE)");
  }
  struct stat st {};
  if (::fstat(pf.stub_fd.get(), &st) != 0) fail_errno(pf.stub_path, "cannot get the file status");
  if (!S_ISREG(st.st_mode)) throw Failure(pf.stub_path + ": the installer program is not a regular file");
  pf.stub_size = static_cast<uint64_t>(st.st_size);
  check_not_output(pf, pf.stub_fd.get(), pf.stub_path);
  if (auto at = find_magic(pf.stub_fd.get(), pf.stub_path))
    throw Failure(pf.stub_path + ": the installer program holds the package magic at offset " +
                  std::to_string(*at) + " (is it an installer with a package already?)");
}

// An installer program built before zstd archive records existed stops at
// the first one ("Unexpected error in package file"): refuse to write one
// behind it.
// zstd is the default codec, but such a program gets bzip2 archives
// (type 2) unless zstd was asked for by name.
void check_stub_reads_zstd(const Preflight& pf, BuildRequest& request) {
  std::optional<bool> reads_zstd;
  for (BuildItem& item : request.items) {
    const bool compressed = item.kind == BuildItem::Kind::archive || item.kind == BuildItem::Kind::tar;
    if (!compressed || item.codec != Codec::zstd) continue;
    if (!reads_zstd) reads_zstd = find_bytes(pf.stub_fd.get(), zstd_support_marker(), pf.stub_path).has_value();
    if (*reads_zstd) return;
    if (item.codec_given)
      throw Failure(pf.stub_path + ": this installer program cannot read zstd archive records; build " +
                    item.option() + " " + item.value + " with --compress bzip2, or give an installer program " +
                    "built with zstd support");
    if (item.level_given)
      throw Failure(pf.stub_path + ": this installer program reads only bzip2 archive records, but --level " +
                    std::to_string(item.level) + " before " + item.option() + " " + item.value +
                    " is a level of zstd, the default; say --compress bzip2 before --level");
    item.codec = Codec::bzip2;
    item.level = DEFAULT_LEVEL;
  }
}

// Items whose file is the record body byte for byte.
bool is_stored_as_is(BuildItem::Kind kind) {
  using enum BuildItem::Kind;
  return kind == raw || kind == bz2 || kind == welcome || kind == helper;
}

// The installer's size as far as it is known before compressing anything.
uint64_t known_size(const Preflight& pf) {
  uint64_t total = pf.stub_size + PACKAGE_HEADER_SIZE;
  for (const PreparedItem& p : pf.items) {
    total += RECORD_HEAD_SIZE;
    if (p.item->kind == BuildItem::Kind::env) total += p.item->value.size() + 1;
    if (is_stored_as_is(p.item->kind)) total += p.size;
  }
  return total;
}

// --mtime, else SOURCE_DATE_EPOCH, else none.
std::optional<int64_t> mtime_limit(const BuildRequest& request) {
  if (request.mtime_limit) return request.mtime_limit;
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  if (epoch == nullptr || *epoch == '\0') return std::nullopt;
  if (auto seconds = parse_epoch_seconds(epoch)) return seconds;
  throw Failure(std::string("SOURCE_DATE_EPOCH='") + epoch +
                "': not a time in whole seconds since the Epoch (1970-01-01 00:00:00 UTC)");
}

// The request's items are final once the installer program is known.
Preflight prepare(BuildRequest& request, const char* argv0) {
  Preflight pf;
  for (const BuildItem& item : request.items)
    if (item.kind == BuildItem::Kind::env) check_env(item.value);
  pf.output_path = follow_output_links(request.output);
  pf.output = existing_output(pf.output_path);
  prepare_stub(pf, request, argv0);
  check_stub_reads_zstd(pf, request);
  pf.pax = {request.dereference, mtime_limit(request)};
  for (const BuildItem& item : request.items) {
    PreparedItem p;
    p.item = &item;
    switch (item.kind) {
      case BuildItem::Kind::env: break;
      case BuildItem::Kind::raw:
      case BuildItem::Kind::welcome:
      case BuildItem::Kind::script:
      case BuildItem::Kind::tar: open_input(p, false); break;
      case BuildItem::Kind::helper:
        open_input(p, true);
        check_executable(p);
        break;
      case BuildItem::Kind::bz2: open_input(p, true); break;
      case BuildItem::Kind::archive: {
        const ScanOptions scan{request.dereference, item.codec == Codec::zstd, pf.output};
        p.entries = scan_tree(item.value, scan, &p.left_out);
        break;
      }
    }
    if (p.fd.valid()) check_not_output(pf, p.fd.get(), item.option() + " " + item.value);
    pf.items.push_back(std::move(p));
  }
  if (known_size(pf) > MAX_INSTALLER_SIZE)
    throw Failure(request.output + ": the installer would reach 4 GiB (" + std::to_string(known_size(pf)) +
                  " bytes or more); it can hold at most " + std::to_string(MAX_INSTALLER_SIZE) + " bytes");
  // Decompressing is the slow check; it comes after the cheap ones.
  for (PreparedItem& p : pf.items)
    if (p.item->kind == BuildItem::Kind::bz2) check_bz2(p);
  return pf;
}

// Copies exactly `size` bytes, refusing a file that changed since it was
// checked.
void copy_exact(int fd, uint64_t size, const std::string& path, ByteSink& out) {
  std::vector<char> buf(IO_CHUNK);
  uint64_t pos = 0;
  while (pos < size) {
    size_t want = size - pos < buf.size() ? static_cast<size_t>(size - pos) : buf.size();
    size_t got = read_at(fd, buf.data(), want, pos, path);
    if (got == 0) throw Failure(path + ": file became shorter while vnpack was reading it");
    out.write(buf.data(), got);
    pos += got;
  }
  char extra;
  if (read_at(fd, &extra, 1, pos, path) != 0) throw Failure(path + ": file grew while vnpack was reading it");
}

void copy_input(PreparedItem& p, ByteSink& sink) {
  if (p.regular)
    copy_exact(p.fd.get(), p.size, p.item->value, sink);
  else
    copy_to_sink(p.fd.get(), sink, p.item->value);
}

// Hands every byte to two sinks.
class TeeSink : public ByteSink {
 public:
  TeeSink(ByteSink& first, ByteSink& second) : first_(first), second_(second) {}
  void write(const void* data, size_t n) override {
    first_.write(data, n);
    second_.write(data, n);
  }

 private:
  ByteSink& first_;
  ByteSink& second_;
};

// Runs an archive or tar item's tar bytes through the item's compressor; the
// input passes through `meter` on its way.
template <typename Fill>
void write_compressed(const BuildItem& item, OutputFile& out, unsigned jobs, ProgressMeter* meter, Fill fill) {
  auto run = [&](auto& compressor) {
    if (meter != nullptr) {
      MeteredSink in(compressor, *meter);
      fill(in);
    } else {
      fill(compressor);
    }
    compressor.finish();
  };
  if (item.codec == Codec::zstd) {
    ZstdCompressor z(item.level, jobs, out);
    run(z);
  } else {
    ParallelBz2Compressor bz(item.level, jobs, out);
    run(bz);
  }
}

// An input archive converted to the tar of a zstd record. The meter counts
// the input read, whose size is known, rather than the tar made of it.
void write_converted_tar(PreparedItem& p, OutputFile& out, const PaxOptions& pax, unsigned jobs,
                         ProgressMeter& meter) {
  const BuildItem& item = *p.item;
  const int fd = p.fd.get();
  int64_t at = 0, metered = 0;
  PullSource input = [&](char* buf, size_t n) {
    const size_t got = read_some(fd, buf, n, item.value);
    at += static_cast<int64_t>(got);
    if (at > metered) {
      meter.advance(static_cast<uint64_t>(at - metered));
      metered = at;
    }
    return got;
  };
  SeekFunction seek;
  if (p.regular)
    seek = [&](int64_t offset, int whence) -> int64_t {
      const off_t to = ::lseek(fd, static_cast<off_t>(offset), whence);
      if (to >= 0) at = static_cast<int64_t>(to);
      return to;
    };
  ConvertReport report;
  write_compressed(item, out, jobs, nullptr,
                   [&](ByteSink& sink) { report = convert_to_pax(item.value, input, seek, sink, pax); });
  if (report.leading_slashes_removed > 0)
    p.unpack_warning = "removed the leading '/' from " + std::to_string(report.leading_slashes_removed) +
                       (report.leading_slashes_removed == 1 ? " name" : " names") + ", as the installer would";
}

// The input bytes a build takes in, as the progress meter counts them; 0
// when an input's size is not known beforehand.
uint64_t input_total(const Preflight& pf) {
  uint64_t total = pf.stub_size;
  for (const PreparedItem& p : pf.items) {
    switch (p.item->kind) {
      case BuildItem::Kind::env: total += p.item->value.size() + 1; break;
      case BuildItem::Kind::archive: total += tar_stream_size(p.entries); break;
      case BuildItem::Kind::tar:
        if (p.item->codec == Codec::zstd && p.regular) {
          total += p.size;  // converted: the meter counts the file read
          break;
        }
        [[fallthrough]];
      default:
        if (!p.regular) return 0;
        total += p.size;
    }
  }
  return total;
}

// Input bytes pass through `meter` on their way to the output or the
// compressor.
void write_body(PreparedItem& p, OutputFile& out, const PaxOptions& pax, unsigned jobs, ProgressMeter& meter) {
  const BuildItem& item = *p.item;
  MeteredSink metered_out(out, meter);
  switch (item.kind) {
    case BuildItem::Kind::env:
      metered_out.write(item.value.c_str(), item.value.size() + 1);  // with its zero byte
      return;
    case BuildItem::Kind::raw:
    case BuildItem::Kind::welcome:
    case BuildItem::Kind::helper:
      copy_input(p, metered_out);
      return;
    case BuildItem::Kind::bz2:
      copy_exact(p.fd.get(), p.size, item.value, metered_out);
      return;
    case BuildItem::Kind::script:
      write_compressed(item, out, jobs, &meter, [&](ByteSink& sink) { copy_input(p, sink); });
      return;
    case BuildItem::Kind::tar: {
      if (item.codec == Codec::zstd) return write_converted_tar(p, out, pax, jobs, meter);
      // Stored as it is: the raw headers tell what the type-2 unpacker does.
      TarCheck tar;
      write_compressed(item, out, jobs, &meter, [&](ByteSink& sink) {
        TeeSink both(sink, tar);
        copy_input(p, both);
      });
      tar.finish(p);
      return;
    }
    case BuildItem::Kind::archive:
      write_compressed(item, out, jobs, &meter, [&](ByteSink& sink) {
        if (item.codec == Codec::zstd)
          write_pax_tree(p.entries, sink, pax);
        else
          write_tar(p.entries, sink, ScanOptions{pax.dereference, false, std::nullopt});
      });
      return;
  }
}

}  // namespace

unsigned record_type_of(const BuildItem& item) {
  switch (item.kind) {
    case BuildItem::Kind::env: return RECORD_ENV;
    case BuildItem::Kind::raw: return item.type;
    case BuildItem::Kind::welcome: return RECORD_WELCOME;
    case BuildItem::Kind::helper: return RECORD_HELPER;
    case BuildItem::Kind::script: return RECORD_SCRIPT;
    case BuildItem::Kind::archive:
    case BuildItem::Kind::tar: return item.codec == Codec::zstd ? RECORD_ZSTD_ARCHIVE : RECORD_ARCHIVE;
    case BuildItem::Kind::bz2: return RECORD_ARCHIVE;
  }
  return RECORD_ARCHIVE;
}

std::vector<std::string> ordering_warnings(const std::vector<BuildItem>& items) {
  std::vector<std::string> warnings;
  const BuildItem* first_archive = nullptr;
  bool have_welcome = false;
  bool warned_script = false;
  bool warned_welcome = false;
  for (const BuildItem& item : items) {
    const unsigned type = record_type_of(item);
    if (is_archive_record(type) && first_archive == nullptr) first_archive = &item;
    if (type == RECORD_SCRIPT && !have_welcome && !warned_script) {
      warnings.push_back(item.option() + " " + item.value +
                         ": comes before any welcome record, so its INSTALL_ROOT is the directory the "
                         "installer is started from");
      warned_script = true;
    }
    if (type == RECORD_WELCOME) {
      have_welcome = true;
      if (first_archive != nullptr && !warned_welcome) {
        warnings.push_back(item.option() + " " + item.value + ": comes after " + first_archive->option() + " " +
                           first_archive->value +
                           ", which unpacks into the directory the installer is started from, not the install "
                           "directory");
        warned_welcome = true;
      }
    }
  }
  return warnings;
}

namespace {

// A record: its head is written with length 0 first and filled in once the
// body (whose compressed length is not known beforehand) is complete.
void write_record(PreparedItem& p, OutputFile& out, const PaxOptions& pax, unsigned jobs, ProgressMeter& meter) {
  const uint64_t head_at = out.position();
  unsigned char head[RECORD_HEAD_SIZE];
  encode_record_head(head, 0, record_type_of(*p.item));
  out.write(head, sizeof head);
  write_body(p, out, pax, jobs, meter);
  // The 4 GiB limit on the whole file keeps the length within 32 bits.
  uint64_t length = out.position() - head_at - RECORD_HEAD_SIZE;
  encode_record_head(head, static_cast<uint32_t>(length), record_type_of(*p.item));
  out.write_at(head, sizeof head, head_at);
}

}  // namespace

void build_installer(const BuildRequest& given, const char* argv0) {
  BuildRequest request = given;
  Preflight pf = prepare(request, argv0);
  for (const PreparedItem& p : pf.items)
    if (!p.left_out.empty())
      std::fprintf(stderr, "vnpack: warning: %s %s: %s is the output file; the archive leaves it out\n",
                   p.item->option().c_str(), p.item->value.c_str(), p.left_out.c_str());
  for (const std::string& warning : ordering_warnings(request.items))
    std::fprintf(stderr, "vnpack: warning: %s\n", warning.c_str());

  OutputFile out(pf.output_path);
  ProgressMeter meter(input_total(pf), stderr);
  MeteredSink metered_out(out, meter);
  copy_exact(pf.stub_fd.get(), pf.stub_size, pf.stub_path, metered_out);
  const uint64_t payload_offset = out.position();
  unsigned char header[PACKAGE_HEADER_SIZE];
  encode_header(header, 0);
  out.write(header, sizeof header);
  const unsigned jobs = request.jobs > 0 ? request.jobs : default_jobs();
  for (PreparedItem& p : pf.items) write_record(p, out, pf.pax, jobs, meter);

  encode_header(header, static_cast<uint32_t>(out.position() - payload_offset));
  out.write_at(header, sizeof header, payload_offset);
  uint32_t crc = crc_with_zero_field(out.fd(), payload_offset + HEADER_CRC_OFFSET, out.temp_path());
  vn::LPUT32(header + HEADER_CRC_OFFSET, crc);
  out.write_at(header + HEADER_CRC_OFFSET, 4, payload_offset + HEADER_CRC_OFFSET);
  out.commit();
  meter.finish();
  for (const PreparedItem& p : pf.items)
    if (!p.unpack_warning.empty())
      std::fprintf(stderr, "vnpack: warning: %s %s: %s\n", p.item->option().c_str(), p.item->value.c_str(),
                   p.unpack_warning.c_str());
}

}  // namespace vnpack
