// Expansion of a leading "~" (own home directory) or "~user".
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "vnlib.h"

namespace vn {

namespace {

// The home directory for a bare "~": the environment's own "HOME" text, or a
// copy of the user database entry. Filled once and kept for the process.
const char* home_directory_cache = nullptr;

// Fills the cache if needed; null when no home directory can be found.
// Sets *from_database when the user database was consulted.
const char* own_home_directory(bool* from_database) {
  if (home_directory_cache != nullptr) return home_directory_cache;
  const char* home = std::getenv("HOME");
  if (home != nullptr) {
    home_directory_cache = home;
    return home_directory_cache;
  }
  *from_database = true;
  const passwd* entry = getpwuid(getuid());
  if (entry == nullptr || entry->pw_dir == nullptr) return nullptr;
  home_directory_cache = chk_strdup(entry->pw_dir);
  return home_directory_cache;
}

// home + "/" + rest, where rest may be null.
char* home_joined(const char* home, const char* rest) {
  return chk_makestr(home, wild_filename_delimiter, rest != nullptr ? rest : "", nullptr);
}

char* expand_own_home(const char* name, const char* rest) {
  bool from_database = false;
  const char* home = own_home_directory(&from_database);
  char* result = home != nullptr ? home_joined(home, rest) : chk_strdup(name);
  if (from_database) endpwent();
  return result;
}

char* expand_user_home(const char* name) {
  const char* user_start = name + 1;
  const char* user_end = user_start;
  while (*user_end != '\0' && !filename_is_delim(static_cast<unsigned char>(*user_end))) ++user_end;
  const size_t user_length = static_cast<size_t>(user_end - user_start);
  char* user = static_cast<char*>(chk_alloc(user_length + 1));
  if (user == nullptr) return nullptr;
  std::memcpy(user, user_start, user_length);
  user[user_length] = '\0';
  const char* rest = *user_end != '\0' ? user_end + 1 : nullptr;

  const passwd* entry = getpwnam(user);
  chk_free(user);
  char* result = entry != nullptr && entry->pw_dir != nullptr ? home_joined(entry->pw_dir, rest)
                                                              : chk_strdup(name);
  endpwent();
  return result;
}

}  // namespace

// "~" and "~/" give the home directory with a trailing "/", "~/x" gives it
// followed by "/x"; "~user" and "~user/x" likewise with that user's home.
// A name whose home directory cannot be found comes back unexpanded.
char* tilde_expand(const char* name) {
  if (name == nullptr) return nullptr;
  if (name[0] != '~') return chk_strdup(name);
  if (name[1] == '\0') return expand_own_home(name, nullptr);
  if (filename_is_delim(static_cast<unsigned char>(name[1]))) return expand_own_home(name, name + 2);
  return expand_user_home(name);
}

}  // namespace vn
