// wordize.cpp - split a text at white space outside quotes into a vector of
// words that point into one private copy of the text.
#include <cstring>

#include "vnlib.h"

namespace vn {

namespace {

constexpr size_t kInitialCapacity = 10;

const char* skip_space(const char* p) {
  while (ctype_is(*p, CTYPE_SPACE)) ++p;
  return p;
}

char* skip_space(char* p) {
  while (ctype_is(*p, CTYPE_SPACE)) ++p;
  return p;
}

// Room for one more word and the closing null; false when memory ran out.
bool make_room(char*** vector, size_t count, size_t* capacity) {
  if (count + 1 < *capacity) return true;
  void* grown = chk_realloc(*vector, 2 * *capacity * sizeof(char*));
  if (grown == nullptr) return false;
  *vector = static_cast<char**>(grown);
  *capacity *= 2;
  return true;
}

// Cuts the copy into words and stores them from element 1 on; returns the
// word count, or 0 when memory ran out. Quotes and backslashes stay in the
// words; a backslash hides the character after it.
size_t cut_words(char* copy, char*** vector, size_t* capacity) {
  size_t count = 1;
  char quote = 0;
  char* p = copy;
  while (*p != '\0') {
    if (*p == '\\') {
      if (p[1] == '\0') break;
      p += 2;
    } else if (quote != 0) {
      if (*p == quote) quote = 0;
      ++p;
    } else if (*p == '"' || *p == '\'') {
      quote = *p++;
    } else if (ctype_is(*p, CTYPE_SPACE)) {
      *p = '\0';
      p = skip_space(p + 1);
      if (*p == '\0') break;  // trailing white space makes no empty word
      if (!make_room(vector, count, capacity)) return 0;
      (*vector)[count++] = p;
    } else {
      ++p;
    }
  }
  return count;
}

}  // namespace

// Leading white space is left out of the copy, so element 0 is the first
// word (empty only for a text of nothing but white space).
char** string_wordize(const char* text) {
  if (text == nullptr) return nullptr;
  size_t capacity = kInitialCapacity;
  auto** vector = static_cast<char**>(chk_alloc(capacity * sizeof(char*)));
  char* copy = chk_strdup(skip_space(text));
  if (vector == nullptr || copy == nullptr) {
    chk_free(vector);
    chk_free(copy);
    return nullptr;
  }
  vector[0] = copy;
  const size_t count = cut_words(copy, &vector, &capacity);
  if (count == 0) {
    chk_free(vector);
    chk_free(copy);
    return nullptr;
  }
  vector[count] = nullptr;
  return vector;
}

}  // namespace vn
