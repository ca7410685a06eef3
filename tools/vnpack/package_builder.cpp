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
#include "package_signer.h"
#include "progress.h"
#include "record_body.h"
#include "stub_locator.h"
#include "tar_writer.h"
#include "vnlib.h"
#include "zstd_stream.h"

namespace vnpack {

namespace {

struct Preflight {
  std::string output_path;       // the output, symbolic links followed
  std::optional<FileId> output;  // the file the installer replaces, if any
  std::string stub_path;
  Fd stub_fd;
  uint64_t stub_size = 0;
  std::vector<PreparedItem> items;
  std::optional<SecretKey> key;  // --sign
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

// An installer program that does not know signature records stops at the
// one a signed package begins with ("Unexpected error in package file").
void check_stub_checks_signatures(const Preflight& pf) {
  if (!find_bytes(pf.stub_fd.get(), signature_support_marker(), pf.stub_path))
    throw Failure(pf.stub_path + ": this installer program cannot check signed packages; build without --sign, " +
                  "or give an installer program built with signature support");
}

void prepare_signing(Preflight& pf, const BuildRequest& request) {
  if (!request.sign) return;
  pf.key = read_secret_key(*request.sign);
  check_stub_checks_signatures(pf);
  if (!listable_name(last_component(request.output)))
    throw Failure(request.output + ": with --sign the installer's name must not hold ')' or a newline: it is " +
                  "written into the signed checksum list");
}

// Items whose file is the record body byte for byte.
bool is_stored_as_is(BuildItem::Kind kind) {
  using enum BuildItem::Kind;
  return kind == raw || kind == bz2 || kind == welcome || kind == helper;
}

// The installer's size as far as it is known before compressing anything.
uint64_t known_size(const Preflight& pf) {
  uint64_t total = pf.stub_size + PACKAGE_HEADER_SIZE;
  if (pf.key) total += signature_record(*pf.key).size();
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
  prepare_signing(pf, request);
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

constexpr const char* CHECKSUM_LIST_SUFFIX = ".SHA256.sig";

void write_checksum_list(const std::string& path, const std::string& text) {
  OutputFile list(path);
  list.write(text.data(), text.size());
  list.commit(0666);
}

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
  if (pf.key) {
    const std::string record = signature_record(*pf.key);
    out.write(record.data(), record.size());
  }
  const unsigned jobs = request.jobs > 0 ? request.jobs : default_jobs();
  for (PreparedItem& p : pf.items) write_record(p, out, pf.pax, jobs, meter);

  encode_header(header, static_cast<uint32_t>(out.position() - payload_offset));
  out.write_at(header, sizeof header, payload_offset);
  // The signature covers the size, not the CRC, which covers the signature.
  if (pf.key) sign_package(out.fd(), out.temp_path(), payload_offset, *pf.key);
  uint32_t crc = crc_with_zero_field(out.fd(), payload_offset + HEADER_CRC_OFFSET, out.temp_path());
  vn::LPUT32(header + HEADER_CRC_OFFSET, crc);
  out.write_at(header + HEADER_CRC_OFFSET, 4, payload_offset + HEADER_CRC_OFFSET);
  std::string checksum_list;
  if (pf.key) checksum_list = signed_checksum_list(out.fd(), out.temp_path(), last_component(request.output), *pf.key);
  out.commit();
  if (pf.key) write_checksum_list(request.output + CHECKSUM_LIST_SUFFIX, checksum_list);
  meter.finish();
  for (const PreparedItem& p : pf.items)
    if (!p.unpack_warning.empty())
      std::fprintf(stderr, "vnpack: warning: %s %s: %s\n", p.item->option().c_str(), p.item->value.c_str(),
                   p.unpack_warning.c_str());
}

}  // namespace vnpack
