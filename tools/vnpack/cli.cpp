// cli.cpp - command-line parsing for vnpack build, list and verify.
#include "cli.h"

#include <charconv>
#include <ctime>
#include <limits>
#include <string_view>
#include <utility>

#include "bz2_stream.h"
#include "errors.h"
#include "zstd_stream.h"

namespace vnpack {

const char* const USAGE_TEXT =
    "Usage: vnpack build -o OUTPUT [--stub FILE] [--dereference] [--mtime SECONDS]\n"
    "                    [--compress CODEC] [--level N] [--jobs N] ITEM...\n"
    "       vnpack list [--contents] INSTALLER\n"
    "       vnpack verify [--key KEY.pub] INSTALLER\n"
    "       vnpack keygen -p KEY.pub -s KEY.sec\n"
    "       vnpack --help | --version\n"
    "\n"
    "build writes an installer: the installer program followed by a package\n"
    "holding one record per ITEM, in the order given. Items:\n"
    "  --env NAME=VALUE   environment record (type 12), under 1024 bytes\n"
    "  --welcome FILE     welcome text (type 1), shown word-wrapped before the\n"
    "                     installer asks for the install directory\n"
    "  --archive DIR      the contents of DIR as a tar archive, compressed (type 20,\n"
    "                     or type 2 with --compress bzip2)\n"
    "  --tar FILE         an existing archive (tar, compressed or not, zip, ...),\n"
    "                     converted (type 20), or a tar stored as it is (type 2)\n"
    "  --bz2 FILE         an existing bzip2-compressed tar file, stored as it is (type 2)\n"
    "  --helper FILE      an executable (type 7), run with the installer's working\n"
    "                     directory and environment\n"
    "  --script FILE      a shell script, compressed (type 11), run in the install\n"
    "                     directory with INSTALL_ROOT naming it\n"
    "  --raw TYPE FILE    a record of type TYPE (0-255) holding FILE's bytes\n"
    "Options of build:\n"
    "  -o, --output OUTPUT  the installer to write (replaced only when complete)\n"
    "  --stub FILE          installer program to put in front\n"
    "                       (default: the vninstall next to vnpack)\n"
    "  --compress CODEC     zstd (the default: links, long names and times, fast to\n"
    "                       install) or bzip2 (type 2, read by every installer\n"
    "                       program) for the archives after it (scripts stay\n"
    "                       bzip2); resets --level\n"
    "  --level N            the codec's level for the items after it: zstd level\n"
    "                       1-19 (default 19), bzip2 block size 1-9 (default 9)\n"
    "  --jobs N             compress on N threads (default: one per processor)\n"
    "  --dereference        store what symbolic links under --archive point to\n"
    "  --mtime SECONDS      no stored time later than this (default:\n"
    "                       SOURCE_DATE_EPOCH when it is set)\n"
    "  --sign KEY.sec       sign the installer with this signify secret key (no\n"
    "                       passphrase); installers check it against KEY.pub in\n"
    "                       their trusted key directory. Also writes\n"
    "                       OUTPUT.SHA256.sig for signify -C -p KEY.pub -x\n"
    "\n"
    "Records are carried out in the order given: put --welcome before the\n"
    "archives and scripts that belong in the install directory.\n"
    "\n"
    "list shows the payload offset, the header's size and CRC checked against\n"
    "the file, and the records with the first line of each text and script;\n"
    "--contents adds the entries of each archive.\n"
    "verify checks the size and CRC and says whether the package is signed, by\n"
    "which key; with --key it checks the signature too. It exits 0 when all\n"
    "checks hold, 1 otherwise.\n"
    "keygen writes a new signify key pair without passphrase; it replaces no file.\n";

std::string BuildItem::option() const {
  switch (kind) {
    case Kind::env: return "--env";
    case Kind::raw: return "--raw";
    case Kind::archive: return "--archive";
    case Kind::tar: return "--tar";
    case Kind::bz2: return "--bz2";
    case Kind::welcome: return "--welcome";
    case Kind::helper: return "--helper";
    case Kind::script: return "--script";
  }
  return "";
}

namespace {

// Walks the arguments of one command, handing out options and their values.
class ArgCursor {
 public:
  ArgCursor(const std::vector<std::string>& args, size_t start, std::string command)
      : args_(args), pos_(start), command_(std::move(command)) {}

  bool done() const { return pos_ >= args_.size(); }

  // The next argument; "--name=value" is split and its value kept for
  // value() to return.
  std::string next() {
    std::string arg = args_[pos_++];
    inline_value_.reset();
    if (arg.rfind("--", 0) == 0) {
      size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        inline_value_ = arg.substr(eq + 1);
        arg.resize(eq);
      }
    }
    return arg;
  }

  std::string value(const std::string& option) {
    if (inline_value_) {
      std::string v = *inline_value_;
      inline_value_.reset();
      return v;
    }
    if (done()) throw UsageError(command_ + ": option '" + option + "' needs an argument");
    return args_[pos_++];
  }

  // An option that takes no value must not have been given one.
  void no_value(const std::string& option) {
    if (inline_value_) throw UsageError(command_ + ": option '" + option + "' takes no argument");
  }

  // The next argument as it is, for an operand after "--".
  std::string next_operand() { return args_[pos_++]; }

  // A second value for an option that takes only one (a "--raw=TYPE FILE").
  std::string second_value(const std::string& option) {
    if (done()) throw UsageError(command_ + ": option '" + option + "' needs two arguments");
    return args_[pos_++];
  }

  const std::string& command() const { return command_; }

 private:
  const std::vector<std::string>& args_;
  size_t pos_;
  std::string command_;
  std::optional<std::string> inline_value_;
};

bool parse_uint(const std::string& text, unsigned& out) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

int parse_level(const std::string& text, Codec codec) {
  unsigned level = 0;
  const bool zstd = codec == Codec::zstd;
  const unsigned min = zstd ? ZSTD_MIN_LEVEL : MIN_LEVEL;
  const unsigned max = zstd ? ZSTD_MAX_LEVEL : MAX_LEVEL;
  if (!parse_uint(text, level) || level < min || level > max)
    throw UsageError("bad level '" + text + "'" + (zstd ? " for zstd" : "") + " (use " + std::to_string(min) +
                     " to " + std::to_string(max) + ")");
  return static_cast<int>(level);
}

}  // namespace

std::optional<int64_t> parse_epoch_seconds(const std::string& text) {
  std::string_view digits(text);
  if (!digits.empty() && digits.front() == '@') digits.remove_prefix(1);
  int64_t seconds = 0;
  if (digits.empty() || digits.front() == '-' || digits.front() == '+') return std::nullopt;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), seconds);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  if (static_cast<uint64_t>(seconds) > static_cast<uint64_t>(std::numeric_limits<time_t>::max())) return std::nullopt;
  return seconds;
}

namespace {

Codec parse_codec(const std::string& text) {
  if (text == "bzip2") return Codec::bzip2;
  if (text == "zstd") return Codec::zstd;
  throw UsageError("bad compression '" + text + "' (use bzip2 or zstd)");
}

int default_level(Codec codec) { return codec == Codec::zstd ? ZSTD_DEFAULT_LEVEL : DEFAULT_LEVEL; }

constexpr unsigned MAX_JOBS = 256;

unsigned parse_jobs(const std::string& text) {
  unsigned jobs = 0;
  if (!parse_uint(text, jobs) || jobs < 1 || jobs > MAX_JOBS)
    throw UsageError("bad number of jobs '" + text + "' (use 1 to " + std::to_string(MAX_JOBS) + ")");
  return jobs;
}

unsigned parse_record_type(const std::string& text) {
  unsigned type = 0;
  if (!parse_uint(text, type) || type > 255)
    throw UsageError("bad record type '" + text + "' (use 0 to 255)");
  return type;
}

bool is_help(const std::string& arg) { return arg == "--help" || arg == "-h"; }

// A lone "-" is taken as a name, not as an option.
bool looks_like_option(const std::string& arg) { return arg.size() > 1 && arg[0] == '-'; }

[[noreturn]] void unknown_option(const ArgCursor& c, const std::string& arg) {
  if (looks_like_option(arg)) throw UsageError(c.command() + ": unknown option '" + arg + "'");
  throw UsageError(c.command() + ": unexpected argument '" + arg + "'");
}

// The kind of item an option of one value adds; null for other options.
const BuildItem::Kind* item_option(std::string_view arg) {
  static constexpr std::pair<std::string_view, BuildItem::Kind> OPTIONS[] = {
      {"--env", BuildItem::Kind::env},         {"--archive", BuildItem::Kind::archive},
      {"--tar", BuildItem::Kind::tar},         {"--bz2", BuildItem::Kind::bz2},
      {"--welcome", BuildItem::Kind::welcome}, {"--helper", BuildItem::Kind::helper},
      {"--script", BuildItem::Kind::script},
  };
  for (const auto& [name, kind] : OPTIONS)
    if (arg == name) return &kind;
  return nullptr;
}

Request parse_build(ArgCursor& c) {
  BuildRequest req;
  bool have_output = false;
  Codec codec = Codec::zstd;
  bool codec_given = false;
  int level = ZSTD_DEFAULT_LEVEL;
  bool level_given = false;
  auto add = [&](BuildItem::Kind kind, std::string value, unsigned type = 0) {
    BuildItem item;
    item.kind = kind;
    item.value = std::move(value);
    item.type = type;
    // The installer reads script records as bzip2 only.
    const bool bzip2_only = kind == BuildItem::Kind::script;
    item.codec = bzip2_only ? Codec::bzip2 : codec;
    item.codec_given = codec_given;
    item.level = bzip2_only && codec != Codec::bzip2 ? DEFAULT_LEVEL : level;
    item.level_given = level_given;
    req.items.push_back(std::move(item));
  };
  while (!c.done()) {
    std::string arg = c.next();
    if (is_help(arg)) return HelpRequest{};
    if (arg == "-o" || arg == "--output") {
      if (have_output) throw UsageError("build: more than one output given");
      req.output = c.value(arg);
      if (req.output.empty()) throw UsageError("build: the output name is empty");
      have_output = true;
    } else if (arg == "--stub") {
      if (req.stub) throw UsageError("build: more than one --stub given");
      req.stub = c.value(arg);
    } else if (arg == "--compress") {
      codec = parse_codec(c.value(arg));
      codec_given = true;
      level = default_level(codec);
      level_given = false;
    } else if (arg == "--level") {
      level = parse_level(c.value(arg), codec);
      level_given = true;
    } else if (arg == "--mtime") {
      const std::string text = c.value(arg);
      req.mtime_limit = parse_epoch_seconds(text);
      if (!req.mtime_limit)
        throw UsageError("bad time '" + text + "' for --mtime (use whole seconds since 1970-01-01 00:00:00 UTC, " +
                         "e.g. $(date -d 2026-01-01 +%s))");
    } else if (arg == "--jobs") {
      req.jobs = parse_jobs(c.value(arg));
    } else if (arg == "--dereference") {
      c.no_value(arg);
      req.dereference = true;
    } else if (arg == "--sign") {
      if (req.sign) throw UsageError("build: more than one --sign given");
      req.sign = c.value(arg);
    } else if (const BuildItem::Kind* kind = item_option(arg)) {
      add(*kind, c.value(arg));
    } else if (arg == "--raw") {
      unsigned type = parse_record_type(c.value(arg));
      add(BuildItem::Kind::raw, c.second_value(arg), type);
    } else {
      unknown_option(c, arg);
    }
  }
  if (!have_output) throw UsageError("build: no output given (-o OUTPUT)");
  return req;
}

// list and verify take one installer; list also takes --contents, verify
// --key KEY (pass null for a command without them). After "--" the
// installer may begin with a dash. Returns false when --help was asked for.
bool parse_installer_arguments(ArgCursor& c, std::string& installer, bool* contents,
                               std::optional<std::string>* key = nullptr) {
  bool have_file = false;
  bool options_ended = false;
  while (!c.done()) {
    std::string arg = options_ended ? c.next_operand() : c.next();
    if (!options_ended && arg == "--") {
      c.no_value(arg);
      options_ended = true;
    } else if (!options_ended && is_help(arg)) {
      return false;
    } else if (!options_ended && contents != nullptr && arg == "--contents") {
      c.no_value(arg);
      *contents = true;
    } else if (!options_ended && key != nullptr && arg == "--key") {
      if (*key) throw UsageError(c.command() + ": more than one --key given");
      *key = c.value(arg);
    } else if (!have_file && (options_ended || !looks_like_option(arg))) {
      installer = arg;
      have_file = true;
    } else if (options_ended) {
      throw UsageError(c.command() + ": unexpected argument '" + arg + "'");
    } else {
      unknown_option(c, arg);
    }
  }
  if (!have_file) throw UsageError(c.command() + ": no installer given");
  return true;
}

Request parse_list(ArgCursor& c) {
  ListRequest req;
  if (!parse_installer_arguments(c, req.installer, &req.contents)) return HelpRequest{};
  return req;
}

Request parse_verify(ArgCursor& c) {
  VerifyRequest req;
  if (!parse_installer_arguments(c, req.installer, nullptr, &req.key)) return HelpRequest{};
  return req;
}

Request parse_keygen(ArgCursor& c) {
  KeygenRequest req;
  while (!c.done()) {
    std::string arg = c.next();
    if (is_help(arg)) return HelpRequest{};
    std::string* target = arg == "-p" || arg == "--public" ? &req.public_key
                          : arg == "-s" || arg == "--secret" ? &req.secret_key
                                                             : nullptr;
    if (target == nullptr) unknown_option(c, arg);
    if (!target->empty()) throw UsageError("keygen: option '" + arg + "' given twice");
    *target = c.value(arg);
    if (target->empty()) throw UsageError("keygen: option '" + arg + "' needs a file name");
  }
  if (req.public_key.empty() || req.secret_key.empty())
    throw UsageError("keygen: give both key files (-p KEY.pub -s KEY.sec)");
  return req;
}

}  // namespace

Request parse_command_line(const std::vector<std::string>& args) {
  if (args.empty()) throw UsageError("no command given");
  const std::string& first = args[0];
  if (is_help(first)) return HelpRequest{};
  if (first == "--version") return VersionRequest{};
  ArgCursor cursor(args, 1, first);
  if (first == "build") return parse_build(cursor);
  if (first == "list") return parse_list(cursor);
  if (first == "verify") return parse_verify(cursor);
  if (first == "keygen") return parse_keygen(cursor);
  if (looks_like_option(first)) throw UsageError("unknown option '" + first + "'");
  throw UsageError("unknown command '" + first + "'");
}

}  // namespace vnpack
