// vnpack - builds vninstall installers and inspects them.
//
//   vnpack build -o OUTPUT [--stub FILE] ITEM...
//   vnpack list [--contents] INSTALLER
//   vnpack verify [--key KEY.pub] INSTALLER
//   vnpack keygen -p KEY.pub -s KEY.sec
#include <clocale>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "cli.h"
#include "errors.h"
#include "package_commands.h"
#include "package_builder.h"
#include "signify_keys.h"

#ifndef VNPACK_VERSION
#define VNPACK_VERSION "1.7"
#endif

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILURE_ = 1;
constexpr int EXIT_USAGE = 2;

int run(const vnpack::Request& request, const char* argv0) {
  return std::visit(
      [&](const auto& r) -> int {
        using T = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<T, vnpack::HelpRequest>) {
          std::fputs(vnpack::USAGE_TEXT, stdout);
        } else if constexpr (std::is_same_v<T, vnpack::VersionRequest>) {
          std::printf("vnpack %s\n", VNPACK_VERSION);
        } else if constexpr (std::is_same_v<T, vnpack::BuildRequest>) {
          vnpack::build_installer(r, argv0);
        } else if constexpr (std::is_same_v<T, vnpack::ListRequest>) {
          int status = vnpack::list_installer(r, stdout);
          if (status != EXIT_OK) {
            std::fflush(stdout);  // the report first, then the verdict
            std::fprintf(stderr, "vnpack: %s: the package is damaged\n", r.installer.c_str());
          }
          return status;
        } else if constexpr (std::is_same_v<T, vnpack::KeygenRequest>) {
          vnpack::generate_key_pair(r.public_key, r.secret_key);
        } else {
          vnpack::verify_installer(r, stdout);
        }
        return EXIT_OK;
      },
      request);
}

}  // namespace

int main(int argc, char** argv) {
  // libarchive converts names between the locale's character set and the
  // UTF-8 of pax headers. A fixed UTF-8 locale keeps names byte for byte
  // and the archive the same whatever the user's locale; without one, the
  // C locale stores every name that is not ASCII as raw bytes.
  std::setlocale(LC_CTYPE, "C.UTF-8");
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const char* argv0 = argc > 0 ? argv[0] : "vnpack";
  int status = EXIT_OK;
  try {
    status = run(vnpack::parse_command_line(args), argv0);
  } catch (const vnpack::UsageError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "vnpack: %s\nTry 'vnpack --help' for more information.\n", e.what());
    return EXIT_USAGE;
  } catch (const vnpack::Failure& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "vnpack: %s\n", e.what());
    return EXIT_FAILURE_;
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fprintf(stderr, "vnpack: out of memory\n");
    return EXIT_FAILURE_;
  } catch (const std::exception& e) {
    // Caught, so that the stack unwinds and a half-written output is removed.
    std::fflush(stdout);
    std::fprintf(stderr, "vnpack: %s\n", e.what());
    return EXIT_FAILURE_;
  }
  // Output that could not be written (a full disk, a closed pipe) is a
  // failure too, not a silent success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "vnpack: error writing to standard output\n");
    return EXIT_FAILURE_;
  }
  return status;
}
