// Linked into the static installer program only. libsodium's static library
// is linked object by object: its memory helpers (needed by Ed25519 and
// BLAKE2b) refer to randombytes_buf and sodium_misuse, whose objects bring
// sodium_init and with it every primitive the library can choose an
// implementation of (about 100 KB the installer never runs). The installer
// never calls sodium_init, sodium_malloc or a function that could misuse an
// argument, so neither is ever reached: they end the program should that
// ever change.
#include <cstddef>
#include <cstdlib>

extern "C" void sodium_misuse(void) { std::abort(); }

extern "C" void randombytes_buf(void* const, const size_t) { std::abort(); }
