// list_command.cpp - "vnpack list": what an installer file holds, and
// whether its container is sound. Every value read from the file is
// checked before it is used, so damaged files give a report, not a crash.
#include <cinttypes>
#include <cstdio>
#include <string_view>
#include <vector>

#include "bz2_stream.h"
#include "errors.h"
#include "package_commands.h"
#include "package_reader.h"
#include "package_signer.h"
#include "tar_lister.h"
#include "tar_listing.h"
#include "zstd_stream.h"

namespace vnpack {

namespace {


// The first line of a text as a details column: its line end dropped and
// its length bounded, so one record stays one line of the table.
constexpr size_t FIRST_LINE_SHOWN = 60;

std::string first_line_details(std::string_view text) {
  text = text.substr(0, text.find_first_of("\r\n"));
  const bool cut = text.size() > FIRST_LINE_SHOWN;
  std::string details = "\"" + printable(text.substr(0, FIRST_LINE_SHOWN));
  return details + (cut ? "...\"" : "\"");
}

// Keeps the decompressed bytes up to the first line end.
class FirstLineSink : public ByteSink {
 public:
  void write(const void* data, size_t n) override {
    if (done_) return;
    std::string_view bytes(static_cast<const char*>(data), n);
    const size_t end = bytes.find('\n');
    if (end != std::string_view::npos) {
      bytes = bytes.substr(0, end);
      done_ = true;
    }
    const size_t room = FIRST_LINE_SHOWN + 1 - text_.size();
    text_.append(bytes.substr(0, room));
    if (text_.size() > FIRST_LINE_SHOWN) done_ = true;
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
  bool done_ = false;
};

std::string hex32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08" PRIx32, v);
  return buf;
}

class Lister {
 public:
  Lister(const InstallerFile& file, bool contents, std::FILE* out) : file_(file), contents_(contents), out_(out) {}

  // The exit status.
  int run();

 private:
  void print_header_checks(const PackageHeader& h);
  void print_record(const RecordInfo& r);
  std::string env_details(const RecordInfo& r);
  std::string signature_details(const RecordInfo& r, std::string& problem);
  std::string welcome_details(const RecordInfo& r);
  std::string script_details(const RecordInfo& r, std::string& problem);
  ByteSource body_source(const RecordInfo& r, uint64_t& pos);
  void list_archive(const RecordInfo& r);
  void list_pax_archive(const RecordInfo& r);
  void list_ustar_archive(const RecordInfo& r);
  void error(const std::string& line) {
    std::fprintf(out_, "%sERROR: %s\n", indent, line.c_str());
    damaged_ = true;
  }
  void warning(const std::string& line) { std::fprintf(out_, "%swarning: %s\n", indent, line.c_str()); }

  static constexpr const char* indent = "            ";
  const InstallerFile& file_;
  bool contents_;
  std::FILE* out_;
  uint64_t payload_offset_ = 0;
  bool damaged_ = false;
};

int Lister::run() {
  if (file_.size > MAX_INSTALLER_SIZE)
    throw Failure(file_.path + ": file is 4 GiB or larger (" + std::to_string(file_.size) +
                  " bytes), too large for an installer");
  auto header = read_header(file_);
  if (!header) throw Failure(file_.path + ": no package found");
  payload_offset_ = header->payload_offset;
  std::fprintf(out_, "payload offset: %" PRIu64 "\n", payload_offset_);
  if (!header->complete()) {
    std::fprintf(out_, "package header: cut short (%zu of %zu bytes)\n", header->header_bytes, size_t{PACKAGE_HEADER_SIZE});
    return 1;
  }
  print_header_checks(*header);
  std::fprintf(out_, "\n%10s  %10s  %-13s %10s  %s\n", "offset", "absolute", "type", "length", "details");
  if (!walk_records(file_, *header, [&](const RecordInfo& r) { print_record(r); })) damaged_ = true;
  return damaged_ ? 1 : 0;
}

void Lister::print_header_checks(const PackageHeader& h) {
  if (!h.magic_terminated) {
    std::fprintf(out_, "package header: the magic is not followed by a zero byte; the installer will not accept it\n");
    damaged_ = true;
  }
  uint64_t actual = actual_package_size(file_, h);
  if (actual == h.stored_size) {
    std::fprintf(out_, "package size:   %" PRIu32 " (matches the file)\n", h.stored_size);
  } else {
    std::fprintf(out_, "package size:   %" PRIu32 " (MISMATCH: the file holds %" PRIu64 ")\n", h.stored_size, actual);
    damaged_ = true;
  }
  uint32_t crc = compute_file_crc(file_, h.payload_offset);
  if (crc == h.stored_crc) {
    std::fprintf(out_, "package CRC:    %s (matches the file)\n", hex32(h.stored_crc).c_str());
  } else {
    std::fprintf(out_, "package CRC:    %s (MISMATCH: computed %s)\n", hex32(h.stored_crc).c_str(), hex32(crc).c_str());
    damaged_ = true;
  }
}

void Lister::print_record(const RecordInfo& r) {
  using Problem = RecordInfo::Problem;
  uint64_t relative = r.offset - payload_offset_;
  if (r.problem == Problem::head_cut_short) {
    std::fprintf(out_, "%10" PRIu64 "  %10" PRIu64 "  %-13s %10s\n", relative, r.offset, "-", "-");
    error("record head cut short (" + std::to_string(r.head_bytes) + " of " + std::to_string(RECORD_HEAD_SIZE) + " bytes)");
    return;
  }
  std::string details;
  std::string script_problem;
  if (r.type == RECORD_ENV) details = env_details(r);
  if (r.type == RECORD_WELCOME) details = welcome_details(r);
  if (r.type == RECORD_SCRIPT && r.problem == Problem::none) details = script_details(r, script_problem);
  std::string signature_problem;
  if (r.type == RECORD_SIGNATURE) details = signature_details(r, signature_problem);
  std::fprintf(out_, "%10" PRIu64 "  %10" PRIu64 "  %3u %-9s %10" PRIu32 "%s%s\n", relative, r.offset, r.type,
               std::string(record_type_name(r.type)).c_str(), r.length, details.empty() ? "" : "  ",
               details.c_str());
  if (r.problem == Problem::wraps) {
    error("the length runs past 4 GiB: the next record offset would wrap around");
    return;
  }
  if (r.problem == Problem::runs_past_end) {
    error("the body runs past the end of the file (" + std::to_string(r.body_present) + " of " +
          std::to_string(r.length) + " bytes present)");
    return;
  }
  if (record_type_name(r.type) == "unknown") warning("the installer stops at a record of this type");
  if (r.type == RECORD_ENV && r.length > MAX_ENV_BODY)
    warning("longer than " + std::to_string(MAX_ENV_BODY) + " bytes: the installer stops at this record");
  if (!script_problem.empty()) error(script_problem);
  if (!signature_problem.empty()) error(signature_problem);
  if (contents_ && is_archive_record(r.type)) list_archive(r);
}

std::string Lister::welcome_details(const RecordInfo& r) {
  std::vector<char> body(FIRST_LINE_SHOWN + 2);
  size_t want = r.body_present < body.size() ? static_cast<size_t>(r.body_present) : body.size();
  size_t got = read_at(file_.fd.get(), body.data(), want, r.offset + RECORD_HEAD_SIZE, file_.path);
  return first_line_details(std::string_view(body.data(), got));
}

// The signing key's name and number; only directly behind the header does
// the installer take a signature record.
std::string Lister::signature_details(const RecordInfo& r, std::string& problem) {
  if (r.offset != payload_offset_ + PACKAGE_HEADER_SIZE) {
    problem = "signature record out of place: the installer stops at it";
    return "";
  }
  try {
    const auto record = read_signature_record(file_.fd.get(), file_.path, payload_offset_, file_.size);
    if (!record) return "";
    return "key " + record->key_name + " (key number " + key_number_text(record->key_number.data()) + ")";
  } catch (const Failure& e) {
    problem = e.what();
    return "";
  }
}

// The script's first line; a stream that does not decompress completely
// (the installer would not run it) gives its problem instead.
std::string Lister::script_details(const RecordInfo& r, std::string& problem) {
  if (r.length == 0) return "";
  uint64_t pos = 0;
  FirstLineSink first_line;
  Bz2DecodeResult result = decode_bz2(body_source(r, pos), first_line);
  if (result.status != Bz2DecodeResult::Status::complete) {
    problem = "script not run: " + describe_bz2_problem(result);
    return "";
  }
  return first_line_details(first_line.text());
}

// Hands out the bytes of the record's body that the file holds.
ByteSource Lister::body_source(const RecordInfo& r, uint64_t& pos) {
  pos = r.offset + RECORD_HEAD_SIZE;
  const uint64_t end = pos + r.body_present;
  return [this, &pos, end](char* buf, size_t n) {
    size_t want = end - pos < n ? static_cast<size_t>(end - pos) : n;
    size_t got = read_at(file_.fd.get(), buf, want, pos, file_.path);
    pos += got;
    return got;
  };
}

std::string Lister::env_details(const RecordInfo& r) {
  constexpr size_t shown = MAX_ENV_BODY + 1;
  std::vector<char> body(shown);
  size_t want = r.body_present < shown ? static_cast<size_t>(r.body_present) : shown;
  size_t got = read_at(file_.fd.get(), body.data(), want, r.offset + RECORD_HEAD_SIZE, file_.path);
  std::string_view text(body.data(), got);
  text = text.substr(0, text.find('\0'));  // the installer uses the text up to its first zero
  std::string details = printable(text);
  if (text.size() == MAX_ENV_BODY + 1) details += "...";
  return details;
}

void Lister::list_archive(const RecordInfo& r) {
  if (r.length == 0) {
    warning("empty archive record: nothing to unpack");
    return;
  }
  if (r.type == RECORD_ZSTD_ARCHIVE)
    list_pax_archive(r);
  else
    list_ustar_archive(r);
}

// A type-20 archive as a tar program reads it, which is how the installer
// unpacks it.
void Lister::list_pax_archive(const RecordInfo& r) {
  uint64_t pos = 0;
  ZstdReader zstd(body_source(r, pos));
  try {
    list_tar([&](char* buf, size_t n) { return zstd.read(buf, n); },
             [&](const ListedEntry& e) { std::fprintf(out_, "%s%s\n", indent, listing_line(e).c_str()); });
  } catch (const Failure& e) {
    if (zstd.result().status == ZstdDecodeResult::Status::complete) return error(e.what());
  }
  if (zstd.result().status != ZstdDecodeResult::Status::complete) error(describe_zstd_problem(zstd.result()));
}

// A type-2 archive header by header, as its unpacker reads them: the name
// field alone, every header an entry of its own.
void Lister::list_ustar_archive(const RecordInfo& r) {
  uint64_t pos = 0;
  TarLister tar([&](const TarListEntry& t) {
    ListedEntry e{listing_type(t.typeflag), t.mode, t.uid, t.gid, t.size, t.mtime, t.name, t.linkname};
    std::fprintf(out_, "%s%s\n", indent, listing_line(e).c_str());
  });
  Bz2DecodeResult result = decode_bz2(body_source(r, pos), tar);
  if (result.status != Bz2DecodeResult::Status::complete) return error(describe_bz2_problem(result));
  if (tar.ended()) return;
  if (tar.lacks_end_block())
    warning(tar.problem());
  else
    error(tar.problem());
}

}  // namespace

int list_installer(const ListRequest& request, std::FILE* out) {
  InstallerFile file = open_installer(request.installer);
  std::fprintf(out, "installer:      %s\n", file.path.c_str());
  Lister lister(file, request.contents, out);
  return lister.run();
}

}  // namespace vnpack
