// record_body.cpp - copying, compressing and converting an item's input
// into its record.
#include "record_body.h"

#include <unistd.h>

#include "bz2_parallel.h"
#include "bz2_stream.h"
#include "errors.h"
#include "file_io.h"
#include "tar_lister.h"
#include "tar_writer.h"
#include "zstd_stream.h"

namespace vnpack {

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

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

}  // namespace vnpack
