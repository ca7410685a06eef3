// Splitting a command-line-like text into words and brace-expanding them;
// quoted words are kept literal so that they are not globbed later.
#include <cstring>

#include "filename_internal.h"
#include "vnlib.h"

namespace vn {

namespace {

constexpr int32_t kPlainWord = 0;
constexpr int32_t kLiteralWord = 1;
constexpr int32_t kSplitQuotedWord = 4;  // as string_qword_split marks it

using WordArray = ChkArray<string_qword>;

bool store(WordArray& out, char* word, int32_t kind) {
  if (out.push(string_qword{word, kind})) return true;
  chk_free(word);
  return false;
}

// The word less its leading double quote and a trailing one.
bool store_quoted(WordArray& out, char* word) {
  const char* body = word + 1;
  size_t length = std::strlen(body);
  if (length > 0 && body[length - 1] == '"') --length;
  char* literal = copy_prefix(body, length);
  chk_free(word);
  return literal != nullptr && store(out, literal, kLiteralWord);
}

// Every non-empty expansion of the word, each a plain word.
bool store_expansions(WordArray& out, char* word) {
  brace_list* list = brace_expand(word);
  chk_free(word);
  if (list == nullptr) return false;
  bool ok = true;
  for (int32_t i = 0; i < list->bl_count; ++i) {
    char* expansion = list->bl_items[i];
    list->bl_items[i] = nullptr;
    if (!ok || expansion[0] == '\0') {
      chk_free(expansion);
    } else {
      ok = store(out, expansion, kPlainWord);
    }
  }
  brace_list_release(list);
  return ok;
}

// Consumes the split word.
bool store_word(WordArray& out, const string_qword& split) {
  char* word = split.word;
  if (word[0] == '"') return store_quoted(out, word);
  if (split.kind == kSplitQuotedWord) return store(out, word, kLiteralWord);
  if (std::strchr(word, '{') == nullptr) return store(out, word, kPlainWord);
  return store_expansions(out, word);
}

void release_words(WordArray& out) {
  for (size_t i = 0; i < out.count; ++i) chk_free(out.items[i].word);
  out.release();
}

}  // namespace

string_qword* brace_expand_string(const char* text, int* count_out, int split_flags) {
  if (count_out != nullptr) *count_out = 0;
  if (text == nullptr) return nullptr;
  int split_count = 0;
  string_qword* split = string_qword_split(text, &split_count, split_flags);
  if (split == nullptr) return nullptr;

  WordArray out;
  bool ok = true;
  for (string_qword* word = split; word->word != nullptr; ++word) {
    if (ok) {
      ok = store_word(out, *word);
    } else {
      chk_free(word->word);
    }
  }
  chk_free(split);
  if (!ok || !out.push(string_qword{nullptr, 0})) {
    release_words(out);
    return nullptr;
  }
  if (count_out != nullptr) *count_out = static_cast<int>(out.count - 1);
  return out.take();
}

}  // namespace vn
