// pkgtool: damages and repairs installer files for the end-to-end cases,
// independently of vnpack.
//   pkgtool offset FILE        print the payload offset
//   pkgtool crc FILE           print the CRC the installer computes (8 hex digits)
//   pkgtool fix FILE           store the matching package size and CRC
//   pkgtool fixcrc FILE        store the matching CRC only
//   pkgtool put32 FILE OFF V   store V big-endian at payload offset + OFF
//   pkgtool mksock PATH        create a Unix-domain socket file
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "package_layout.h"
#include "vnlib.h"

namespace {

constexpr size_t SIZE_FIELD = 24;
constexpr size_t CRC_FIELD = 28;

std::vector<unsigned char> load(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "pkgtool: cannot read %s\n", path);
    std::exit(1);
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void save(const char* path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) std::exit(1);
}

size_t payload_offset(const std::vector<unsigned char>& bytes) {
  const std::string magic = std::string(PACKAGE_MAGIC_FIRST_PIECE) + PACKAGE_MAGIC_SECOND_PIECE;
  std::string_view all(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  size_t at = all.find(magic);
  if (at == std::string_view::npos) {
    std::fprintf(stderr, "pkgtool: no package\n");
    std::exit(1);
  }
  return at;
}

uint32_t package_crc(std::vector<unsigned char> bytes, size_t offset) {
  std::memset(bytes.data() + offset + CRC_FIELD, 0, 4);
  return vn::crc32(bytes.data(), static_cast<int32_t>(bytes.size()));
}

int make_socket(const char* path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof addr.sun_path) return 1;
  std::strcpy(addr.sun_path, path);
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  const bool bound = fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  if (fd >= 0) close(fd);
  return bound ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string_view(argv[1]) == "mksock") return make_socket(argv[2]);
  if (argc < 3) {
    std::fprintf(stderr, "usage: pkgtool offset|crc|fix|fixcrc|put32|mksock FILE [OFF VALUE]\n");
    return 2;
  }
  const std::string_view command = argv[1];
  std::vector<unsigned char> bytes = load(argv[2]);
  const size_t offset = payload_offset(bytes);
  if (command == "offset") {
    std::printf("%zu\n", offset);
  } else if (command == "crc") {
    std::printf("%08x\n", package_crc(bytes, offset));
  } else if (command == "fix") {
    vn::LPUT32(bytes.data() + offset + SIZE_FIELD, static_cast<uint32_t>(bytes.size() - offset));
    vn::LPUT32(bytes.data() + offset + CRC_FIELD, package_crc(bytes, offset));
    save(argv[2], bytes);
  } else if (command == "fixcrc") {
    vn::LPUT32(bytes.data() + offset + CRC_FIELD, package_crc(bytes, offset));
    save(argv[2], bytes);
  } else if (command == "put32" && argc == 5) {
    const size_t at = offset + std::strtoul(argv[3], nullptr, 0);
    if (at + 4 > bytes.size()) bytes.resize(at + 4);
    vn::LPUT32(bytes.data() + at, static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 0)));
    save(argv[2], bytes);
  } else {
    std::fprintf(stderr, "pkgtool: unknown command %s\n", argv[1]);
    return 2;
  }
  return 0;
}
