// cli.h - the vnpack command line, parsed into one request per command.
#ifndef VNPACK_CLI_H
#define VNPACK_CLI_H

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vnpack {

struct BuildItem {
  enum class Kind { env, raw, archive, tar, bz2, welcome, helper, script };
  Kind kind = Kind::env;
  std::string value;  // the assignment (env) or the path
  unsigned type = 0;  // record type (raw)
  int level = 9;      // bzip2 block size (archive, tar, script)
  std::string option() const;  // "--env", ... for messages
};

struct BuildRequest {
  std::string output;
  std::optional<std::string> stub;
  bool dereference = false;
  std::vector<BuildItem> items;
};

struct ListRequest {
  std::string installer;
  bool contents = false;
};

struct VerifyRequest {
  std::string installer;
};

struct HelpRequest {};
struct VersionRequest {};

using Request = std::variant<BuildRequest, ListRequest, VerifyRequest, HelpRequest, VersionRequest>;

// A UsageError for anything that is not a valid command line.
Request parse_command_line(const std::vector<std::string>& args);

extern const char* const USAGE_TEXT;

}  // namespace vnpack

#endif  // VNPACK_CLI_H
