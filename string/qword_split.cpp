// qword_split.cpp - split a text into words, where a word that begins with a
// double quote runs to the first space outside quotes.
#include <cstring>

#include "vnlib.h"

namespace vn {

namespace {

constexpr int32_t kQuotedKind = 4;
constexpr int32_t kPlainKind = 0;
constexpr int32_t kInitialArrayBytes = 16;

// Cut the word at *end unless the text ends there; where the scan goes on.
char* cut_at(char* end) {
  if (*end == '\0') return end;
  *end = '\0';
  return end + 1;
}

// From an opening quote up to the first space outside quotes.
char* quoted_word_end(char* p) {
  bool inside = false;
  for (; *p != '\0'; ++p) {
    if (*p == '"') {
      inside = !inside;
    } else if (*p == ' ' && !inside) {
      break;
    }
  }
  return p;
}

char* plain_word_end(char* p, int flags) {
  const bool semicolons = (flags & QWORD_SEMICOLON) != 0;
  for (; *p != '\0'; ++p) {
    if (semicolons && *p == ';') break;
    if (flags & QWORD_SPACES) {
      if (*p == ' ' && p[1] == '"') break;
    } else if (ctype_is(*p, CTYPE_SPACE)) {
      break;
    }
  }
  return p;
}

char* skip_separators(char* p, int flags) {
  while (ctype_is(*p, CTYPE_SPACE) || ((flags & QWORD_SEMICOLON) && *p == ';')) ++p;
  return p;
}

// Release the words gathered so far and the array itself.
void discard(dstr* words) {
  auto* records = reinterpret_cast<string_qword*>(words->dl_str);
  const int32_t count = words->dl_len / static_cast<int32_t>(sizeof(string_qword));
  for (int32_t i = 0; records != nullptr && i < count; ++i) chk_free(records[i].word);
  dstr_free(words);
}

bool add_record(dstr* words, char* word, int32_t kind) {
  if (word == nullptr) return false;
  const string_qword record{word, kind};
  if (dstr_add_mem(words, &record, sizeof record) == nullptr) {
    chk_free(word);
    return false;
  }
  return true;
}

// Scan the private copy, appending one record per word. False when memory
// ran out.
bool collect_words(char* text, int flags, dstr* words, int* count) {
  char* p = text;
  while (*p != '\0') {
    if (*p != '"') {
      p = skip_separators(p, flags);
      if (*p == '\0') break;  // trailing separators make no empty word
    }
    char* word = p;
    const bool quoted = *p == '"';
    p = cut_at(quoted ? quoted_word_end(p) : plain_word_end(p, flags));
    char* stored = quoted ? string_normalize_quotes(word) : chk_strdup(word);
    if (!add_record(words, stored, quoted ? kQuotedKind : kPlainKind)) return false;
    ++*count;
  }
  return true;
}

}  // namespace

// Null only when memory ran out.
string_qword* string_qword_split(const char* text, int* count_out, int flags) {
  int count = 0;
  if (count_out != nullptr) *count_out = 0;
  char* copy = chk_strdup(text == nullptr ? "" : text);
  if (copy == nullptr) return nullptr;
  dstr words;
  dstr_init(&words, kInitialArrayBytes);
  bool complete = collect_words(copy, flags, &words, &count);
  chk_free(copy);
  const string_qword end_record{nullptr, kPlainKind};
  complete = complete && dstr_add_mem(&words, &end_record, sizeof end_record) != nullptr;
  if (!complete) {
    discard(&words);
    return nullptr;
  }
  if (count_out != nullptr) *count_out = count;
  return reinterpret_cast<string_qword*>(words.dl_str);
}

}  // namespace vn
