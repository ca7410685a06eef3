#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "package_signature.h"

namespace {

using Digest = std::array<unsigned char, PACKAGE_DIGEST_SIZE>;
constexpr uint64_t kPayload = 1000;  // where the test file's package header stands

// The digest of bytes fed in pieces of the given sizes, cycled.
Digest digest_in_pieces(const std::vector<unsigned char>& bytes, const std::vector<size_t>& pieces,
                        bool threaded = false) {
  package_digest d;
  EXPECT_TRUE(package_digest_init(&d, kPayload, threaded));
  size_t at = 0;
  for (size_t i = 0; at < bytes.size(); ++i) {
    size_t n = std::min(pieces[i % pieces.size()], bytes.size() - at);
    package_digest_update(&d, bytes.data() + at, n);
    at += n;
  }
  Digest out{};
  package_digest_final(&d, out.data());
  return out;
}

std::vector<unsigned char> sample(size_t n) {
  std::vector<unsigned char> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<unsigned char>(i * 131 + i / 977);
  return bytes;
}

TEST(PackageDigest, SameWhateverPiecesTheBytesComeInAndOnAnyThread) {
  // Three and a half leaves, so that pieces straddle leaf boundaries and
  // the masked fields, and the hashing thread takes two leaves.
  const auto bytes = sample(PACKAGE_DIGEST_LEAF_SIZE * 7 / 2);
  const Digest whole = digest_in_pieces(bytes, {bytes.size()});
  EXPECT_EQ(digest_in_pieces(bytes, {1}), whole);
  EXPECT_EQ(digest_in_pieces(bytes, {1029, 3, 65536, 7}), whole);
  EXPECT_EQ(digest_in_pieces(bytes, {PACKAGE_DIGEST_LEAF_SIZE - 1}, true), whole);
  EXPECT_EQ(digest_in_pieces(bytes, {65536}, true), whole);
  // Whole leaves only, the last one handed to the thread or not.
  for (size_t leaves : {1, 2, 3}) {
    const std::vector<unsigned char> exact(bytes.begin(), bytes.begin() + leaves * PACKAGE_DIGEST_LEAF_SIZE);
    EXPECT_EQ(digest_in_pieces(exact, {65536}, true), digest_in_pieces(exact, {exact.size()})) << leaves;
  }
}

TEST(PackageDigest, CrcFieldAndSignatureBytesCountAsZeros) {
  auto bytes = sample(PACKAGE_DIGEST_LEAF_SIZE + 4000);
  const uint64_t crc_at = kPayload + HEADER_CRC_OFFSET;
  const uint64_t signature_at = kPayload + PACKAGE_HEADER_SIZE + RECORD_HEAD_SIZE + SIGNATURE_BYTES_OFFSET;
  std::fill_n(bytes.begin() + crc_at, 4, 0);
  std::fill_n(bytes.begin() + signature_at, SIGNATURE_BYTES_SIZE, 0);
  const Digest zeroed = digest_in_pieces(bytes, {bytes.size()});

  std::fill_n(bytes.begin() + crc_at, 4, 0xA5);
  std::fill_n(bytes.begin() + signature_at, SIGNATURE_BYTES_SIZE, 0x5A);
  EXPECT_EQ(digest_in_pieces(bytes, {5, 61}), zeroed);

  // The bytes just around the fields count.
  for (uint64_t at : {crc_at - 1, crc_at + 4, signature_at - 1, signature_at + SIGNATURE_BYTES_SIZE}) {
    auto changed = bytes;
    changed[at] ^= 1;
    EXPECT_NE(digest_in_pieces(changed, {bytes.size()}), zeroed) << "byte " << at;
  }
  // So does the length: a zero byte appended is a different file.
  bytes.push_back(0);
  EXPECT_NE(digest_in_pieces(bytes, {bytes.size()}), zeroed);
}

std::string key_text(const std::string& comment_line, std::vector<unsigned char> raw, const std::string& after = "\n") {
  std::vector<char> b64(sodium_base64_ENCODED_LEN(raw.size(), sodium_base64_VARIANT_ORIGINAL));
  sodium_bin2base64(b64.data(), b64.size(), raw.data(), raw.size(), sodium_base64_VARIANT_ORIGINAL);
  return comment_line + b64.data() + after;
}

std::vector<unsigned char> raw_public_key() {
  std::vector<unsigned char> raw{'E', 'd'};
  for (size_t i = 0; i < SIGNIFY_PUBLIC_KEY_SIZE - 2; ++i) raw.push_back(static_cast<unsigned char>(i + 1));
  return raw;
}

const char* parse(const std::string& text, signify_public_key* key) {
  return parse_signify_public_key(text.data(), text.size(), key);
}

TEST(SignifyPublicKey, ParsesKeyNumberAndKey) {
  signify_public_key key{};
  EXPECT_EQ(parse(key_text("untrusted comment: signify public key\n", raw_public_key()), &key), nullptr);
  EXPECT_EQ(key.key_number[0], 1);
  EXPECT_EQ(key.key_number[7], 8);
  EXPECT_EQ(key.key[0], 9);
  EXPECT_EQ(key.key[31], 40);
  // The last newline may be missing.
  EXPECT_EQ(parse(key_text("untrusted comment: x\n", raw_public_key(), ""), &key), nullptr);
}

TEST(SignifyPublicKey, RefusesWhatIsNoPublicKey) {
  signify_public_key key{};
  const std::string comment = "untrusted comment: k\n";
  auto other_algorithm = raw_public_key();
  other_algorithm[1] = 'X';
  const std::vector<std::string> bad = {
      "",
      key_text("trusted comment: k\n", raw_public_key()),               // not signify's comment line
      "untrusted comment: k",                                            // no key line
      comment + "RWQ!!!!\n",                                             // not base64
      key_text(comment, std::vector<unsigned char>(SIGNIFY_PUBLIC_KEY_SIZE + 32, 'E')),  // a secret key's length
      key_text(comment, std::vector<unsigned char>(SIGNIFY_PUBLIC_KEY_SIZE - 1, 'E')),
      key_text(comment, other_algorithm),
      key_text(comment, raw_public_key(), "\nmore\n"),
      key_text(comment, raw_public_key(), " \n"),
  };
  for (const std::string& text : bad) EXPECT_NE(parse(text, &key), nullptr) << text;
}

TEST(SignatureKeyName, OnlyPlainPrintableFileNames) {
  auto plain = [](const std::string& name) { return is_plain_key_name(name.data(), name.size()); };
  EXPECT_TRUE(plain("vantor-2026.pub"));
  EXPECT_TRUE(plain(".hidden key.pub"));
  EXPECT_TRUE(plain(std::string(SIGNATURE_KEY_NAME_MAX, 'k')));
  EXPECT_FALSE(plain(std::string(SIGNATURE_KEY_NAME_MAX + 1, 'k')));
  const std::vector<std::string> bad = {"", ".", "..", "../etc/key.pub", "a/b", std::string("a\0b", 3), "a\nb",
                                       "a\x7f", "\xc3\xa9"};
  for (const std::string& name : bad) EXPECT_FALSE(plain(name)) << name;
}

}  // namespace
