// tar_listing.cpp - entries in the layout of "tar -tv".
#include "tar_listing.h"

#include <archive.h>
#include <archive_entry.h>

#include <cinttypes>
#include <cstdio>

#include "tar_lister.h"

namespace vnpack {

namespace {

constexpr size_t OWNER_AND_SIZE_WIDTH = 19;

// The calendar date of a day count since 1970-01-01 (proleptic Gregorian),
// for any 64-bit time, whatever the width of time_t.
void civil_from_days(int64_t days, int64_t& year, unsigned& month, unsigned& day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = doy - (153 * mp + 2) / 5 + 1;
  month = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
}

std::string utc_minute(int64_t seconds) {
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  int64_t year = 0;
  unsigned month = 0, day = 0;
  civil_from_days(days, year, month, day);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04" PRId64 "-%02u-%02u %02u:%02u", year, month, day,
                static_cast<unsigned>(rest / 3600), static_cast<unsigned>(rest % 3600 / 60));
  return buf;
}

std::string mode_string(char type, uint32_t mode) {
  std::string text(1, type);
  const char* rwx = "rwxrwxrwx";
  for (int bit = 8; bit >= 0; --bit) text += (mode >> bit) & 1 ? rwx[8 - bit] : '-';
  auto special = [&](size_t at, uint32_t flag, char set) {
    if (mode & flag) text[at] = text[at] == 'x' ? set : static_cast<char>(set - 'a' + 'A');
  };
  special(3, 04000, 's');
  special(6, 02000, 's');
  special(9, 01000, 't');
  return text;
}

char type_of(const archive_entry* e) {
  if (archive_entry_hardlink(const_cast<archive_entry*>(e)) != nullptr) return 'h';
  switch (archive_entry_filetype(const_cast<archive_entry*>(e))) {
    case AE_IFREG: return '-';
    case AE_IFDIR: return 'd';
    case AE_IFLNK: return 'l';
    case AE_IFCHR: return 'c';
    case AE_IFBLK: return 'b';
    case AE_IFIFO: return 'p';
    case AE_IFSOCK: return 's';
    default: return '?';
  }
}

const char* text_or_empty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

char listing_type(char typeflag) {
  switch (typeflag) {
    case '0':
    case '\0':
    case '7': return '-';
    case '1': return 'h';
    case '2': return 'l';
    case '3': return 'c';
    case '4': return 'b';
    case '5': return 'd';
    case '6': return 'p';
    default: return '?';
  }
}

std::string listing_line(const ListedEntry& e) {
  const std::string owner = std::to_string(e.uid) + "/" + std::to_string(e.gid);
  const std::string size = std::to_string(e.size);
  const size_t used = owner.size() + 1 + size.size();
  const std::string pad(used < OWNER_AND_SIZE_WIDTH ? OWNER_AND_SIZE_WIDTH - used : 0, ' ');
  std::string line = mode_string(e.type, e.mode) + " " + owner + " " + pad + size + " " + utc_minute(e.mtime) +
                     " " + printable(e.name);
  if (e.type == 'l') line += " -> " + printable(e.link);
  if (e.type == 'h') line += " link to " + printable(e.link);
  return line;
}

void list_tar(const PullSource& tar, const std::function<void(const ListedEntry&)>& on_entry) {
  ArchiveReader reader(tar, ArchiveReader::Formats::tar);
  while (archive_entry* e = reader.next()) {
    ListedEntry entry;
    entry.type = type_of(e);
    entry.mode = static_cast<uint32_t>(archive_entry_perm(e));
    entry.uid = static_cast<uint64_t>(archive_entry_uid(e));
    entry.gid = static_cast<uint64_t>(archive_entry_gid(e));
    entry.size = static_cast<uint64_t>(archive_entry_size(e));
    entry.mtime = static_cast<int64_t>(archive_entry_mtime(e));
    const char* name = archive_entry_pathname(e);
    entry.name = text_or_empty(name != nullptr ? name : archive_entry_pathname_utf8(e));
    entry.link = text_or_empty(entry.type == 'h' ? archive_entry_hardlink(e) : archive_entry_symlink(e));
    on_entry(entry);
  }
}

}  // namespace vnpack
