// tarforge: writes a tar archive of the entries its arguments describe to
// standard output, including what no tar program writes (names with "..",
// absolute hard-link targets, damaged checksums), for the end-to-end cases
// of the type-20 reader.
//
//   file NAME DATA | dir NAME | symlink NAME TARGET | hardlink NAME TARGET
//   fifo NAME | pax KEY=VALUE (into an extended header before the next
//   entry) | gnu-name NAME | gnu-link TARGET (GNU long-name entries)
//   | bad-checksum (the next header's checksum is off by one)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr size_t BLOCK = 512;

std::string out;
std::string pending_pax;
bool corrupt_next = false;

std::string header(const std::string& name, char type, size_t size, const std::string& link = "") {
  std::string h(BLOCK, '\0');
  h.replace(0, std::min<size_t>(name.size(), 100), name.substr(0, 100));
  std::snprintf(&h[100], 8, "%07o", type == '5' ? 0755 : 0644);
  std::snprintf(&h[108], 8, "%07o", 0);
  std::snprintf(&h[116], 8, "%07o", 0);
  std::snprintf(&h[124], 12, "%011zo", size);
  std::snprintf(&h[136], 12, "%011o", 1600000000);
  h[156] = type;
  h.replace(157, std::min<size_t>(link.size(), 100), link.substr(0, 100));
  std::memcpy(&h[257], "ustar\0" "00", 8);
  h.replace(148, 8, 8, ' ');
  unsigned sum = 0;
  for (unsigned char c : h) sum += c;
  if (corrupt_next) sum += 1, corrupt_next = false;
  std::snprintf(&h[148], 8, "%06o", sum);
  return h;
}

void add(const std::string& name, char type, const std::string& data, const std::string& link = "") {
  out += header(name, type, data.size(), link) + data;
  out.append((BLOCK - data.size() % BLOCK) % BLOCK, '\0');
}

void add_entry(const std::string& name, char type, const std::string& data, const std::string& link = "") {
  if (!pending_pax.empty()) {
    const std::string records = pending_pax;
    pending_pax.clear();
    add("PaxHeader", 'x', records);
  }
  add(name, type, data, link);
}

// "LENGTH KEY=VALUE\n", the length counting itself.
std::string pax_record(const std::string& key_value) {
  const size_t body = key_value.size() + 2;
  size_t length = body + std::to_string(body).size();
  if (std::to_string(length).size() != std::to_string(body).size()) ++length;
  return std::to_string(length) + " " + key_value + "\n";
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "tarforge: %s needs an argument\n", word.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (word == "file") {
      const std::string name = next();
      add_entry(name, '0', next());
    } else if (word == "dir") {
      add_entry(next(), '5', "");
    } else if (word == "symlink" || word == "hardlink") {
      const std::string name = next();
      add_entry(name, word == "symlink" ? '2' : '1', "", next());
    } else if (word == "fifo") {
      add_entry(next(), '6', "");
    } else if (word == "pax") {
      pending_pax += pax_record(next());
    } else if (word == "gnu-name" || word == "gnu-link") {
      add("././@LongLink", word == "gnu-name" ? 'L' : 'K', next() + std::string(1, '\0'));
    } else if (word == "bad-checksum") {
      corrupt_next = true;
    } else {
      std::fprintf(stderr, "tarforge: unknown word %s\n", word.c_str());
      return 2;
    }
  }
  out.append(2 * BLOCK, '\0');
  return std::fwrite(out.data(), 1, out.size(), stdout) == out.size() ? 0 : 1;
}
