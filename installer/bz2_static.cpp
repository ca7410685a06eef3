// Linked into the static installer program only. libbz2's static library
// keeps its compressing and decompressing calls in one object, whose
// compressing calls refer to the block sorter and the block coder: without
// these stand-ins the linker brings both objects in (about 26 KB the
// installer never runs, since it only decompresses). Should a compressing
// call ever be reached, the program ends instead of writing a wrong stream.
#include <cstdlib>

extern "C" void BZ2_compressBlock(void*, unsigned char) { std::abort(); }

extern "C" void BZ2_blockSort(void*) { std::abort(); }
