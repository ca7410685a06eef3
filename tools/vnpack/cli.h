// cli.h - the vnpack command line, parsed into one request per command.
#ifndef VNPACK_CLI_H
#define VNPACK_CLI_H

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vnpack {

// How --archive and --tar items are compressed.
enum class Codec { bzip2, zstd };

struct BuildItem {
  enum class Kind { env, raw, archive, tar, bz2, welcome, helper, script };
  Kind kind = Kind::env;
  std::string value;  // the assignment (env) or the path
  unsigned type = 0;  // record type (raw)
  Codec codec = Codec::zstd;  // archive, tar (scripts are always bzip2)
  bool codec_given = false;  // by --compress, not the default
  int level = 19;     // the codec's level (archive, tar); bzip2 block size (script)
  bool level_given = false;  // by --level
  std::string option() const;  // "--env", ... for messages
};

struct BuildRequest {
  std::string output;
  std::optional<std::string> stub;
  bool dereference = false;
  std::optional<int64_t> mtime_limit;  // --mtime: later times are lowered to it
  unsigned jobs = 0;  // compressing threads; 0: one per online processor
  std::optional<std::string> sign;  // the secret key to sign with
  std::vector<BuildItem> items;
};

struct ListRequest {
  std::string installer;
  bool contents = false;
};

struct VerifyRequest {
  std::string installer;
  std::optional<std::string> key;  // the public key to check the signature with
};

struct KeygenRequest {
  std::string public_key;
  std::string secret_key;
};

struct HelpRequest {};
struct VersionRequest {};

using Request = std::variant<BuildRequest, ListRequest, VerifyRequest, KeygenRequest, HelpRequest, VersionRequest>;

// Seconds since the Epoch, as --mtime and SOURCE_DATE_EPOCH give them
// ("@" before the number is allowed); nothing when the text is not one or
// the time does not fit this system's time_t.
std::optional<int64_t> parse_epoch_seconds(const std::string& text);

// A UsageError for anything that is not a valid command line.
Request parse_command_line(const std::vector<std::string>& args);

extern const char* const USAGE_TEXT;

}  // namespace vnpack

#endif  // VNPACK_CLI_H
