// tar_listing.h - archive entries as "vnpack list --contents" shows them,
// one line each in the layout of "tar -tv".
#ifndef VNPACK_TAR_LISTING_H
#define VNPACK_TAR_LISTING_H

#include <cstdint>
#include <functional>
#include <string>

#include "archive_io.h"

namespace vnpack {

struct ListedEntry {
  char type = '-';     // '-' file, 'd', 'l' symbolic link, 'h' hard link, 'c', 'b', 'p', 's', '?'
  uint32_t mode = 0;   // permission bits, set-id and sticky bits included
  uint64_t uid = 0;
  uint64_t gid = 0;
  uint64_t size = 0;
  int64_t mtime = 0;   // seconds since the Epoch
  std::string name;
  std::string link;    // the target of a symbolic or hard link
};

// "drwxr-xr-x 0/0               0 2026-12-09 03:43 name/": type and mode,
// owner and group ids, the size right-aligned so that ids and size take 19
// columns, the time in UTC to the minute, the name, then " -> target" for a
// symbolic link or " link to target" for a hard link. Control characters
// and backslashes in names are written as \ooo.
std::string listing_line(const ListedEntry& entry);

// The listing type of a ustar typeflag.
char listing_type(char typeflag);

// Calls on_entry for every entry of a tar archive of any dialect (ustar,
// pax, GNU), as a tar program reads it: long names, link targets and
// sizes of extended headers applied. Damage is a Failure.
void list_tar(const PullSource& tar, const std::function<void(const ListedEntry&)>& on_entry);

}  // namespace vnpack

#endif  // VNPACK_TAR_LISTING_H
